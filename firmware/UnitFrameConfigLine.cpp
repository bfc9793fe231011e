#include "firmware/UnitFrameConfigLine.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyle>
#include <QTimer>

namespace {

const char* const InvalidProperty = "invalid";

bool IsPassingControlCharacter(char16_t C) { return C < 0x20 || C == 0x7F; }

// Adding items to an empty combo box selects the first one, replacing its text, unless the box
// has a placeholder of its own; an editable box shows its line edit's placeholder instead.
void SetUpEditableBox(QComboBox* Box, const char* Name, const QString& Placeholder) {
  Box->setObjectName(Name);
  Box->setEditable(true);
  Box->setInsertPolicy(QComboBox::NoInsert);
  Box->setPlaceholderText(Placeholder);
  Box->lineEdit()->setPlaceholderText(Placeholder);
}

void SetTextSelected(QComboBox* Box, const QString& Value) {
  Box->setEditText(Value);
  Box->lineEdit()->selectAll();
}

}  // namespace

TFrameConfigLine::TFrameConfigLine(QWidget* Parent)
    : QFrame(Parent),
      GridPanelConfigLine(new QGridLayout(this)),
      ComboBoxPath(new QComboBox(this)),
      ComboBoxOffset(new QComboBox(this)),
      TimerCheck(new QTimer(this)) {
  resize(375, 31);
  GridPanelConfigLine->setObjectName("GridPanelConfigLine");
  GridPanelConfigLine->setContentsMargins(0, 0, 0, 0);
  GridPanelConfigLine->setSpacing(0);
  GridPanelConfigLine->setRowStretch(0, 1);
  GridPanelConfigLine->setColumnStretch(0, 1);
  GridPanelConfigLine->setColumnStretch(1, 0);
  GridPanelConfigLine->addWidget(ComboBoxPath, 0, 0);
  GridPanelConfigLine->addWidget(ComboBoxOffset, 0, 1);

  SetUpEditableBox(ComboBoxPath, "ComboBoxPath", QStringLiteral("Choose firmware."));
  ComboBoxPath->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

  SetUpEditableBox(ComboBoxOffset, "ComboBoxOffset", QStringLiteral("Offset"));
  ComboBoxOffset->addItems({"0x00000", "0x01000", "0x10000", "0x1FC000", "0x1FE000", "0x3C000",
                            "0x3E000", "0x3FC000", "0x3FE000", "0x40000", "0x7C000", "0x7E000",
                            "0x7FC000", "0x7FE000", "0xFC000", "0xFE000", "0xFFC000", "0xFFE000"});
  ComboBoxOffset->setFixedWidth(0);
  ComboBoxOffset->setVisible(false);
  ComboBoxOffset->lineEdit()->installEventFilter(this);

  for (QComboBox* Box : {ComboBoxPath, ComboBoxOffset}) {
    connect(Box, &QComboBox::activated, this, &TFrameConfigLine::Changed);
    connect(Box->lineEdit(), &QLineEdit::textEdited, this, &TFrameConfigLine::Changed);
  }

  TimerCheck->setObjectName("TimerCheck");
  TimerCheck->setInterval(1000);
  connect(TimerCheck, &QTimer::timeout, this, &TFrameConfigLine::TimerCheckTimer);
  TimerCheck->start();
}

QString TFrameConfigLine::FilePath() const { return ComboBoxPath->currentText(); }

void TFrameConfigLine::SetFilePath(const QString& Value) { SetTextSelected(ComboBoxPath, Value); }

QString TFrameConfigLine::Offset() const { return ComboBoxOffset->currentText(); }

void TFrameConfigLine::SetOffset(const QString& Value) { SetTextSelected(ComboBoxOffset, Value); }

bool TFrameConfigLine::IsFilePathValid() const { return ::IsFilePathValid(FilePath()); }

bool TFrameConfigLine::GetMemoryStream(QByteArray* MemoryStream) const {
  return ::GetMemoryStream(FilePath(), MemoryStream);
}

bool TFrameConfigLine::GetBaseAddress(quint32& BaseAddress) const {
  return ::GetBaseAddress(Offset(), BaseAddress);
}

void TFrameConfigLine::ComboBoxOffsetKeyPress(QObject* /*Sender*/, QChar& Key) {
  const char16_t C = Key.unicode();
  if (C >= u'a' && C <= u'f') {
    Key = QChar(C - u'a' + u'A');
  } else if (C == u'X') {
    Key = QChar(u'x');
  } else if (!IsHexDigit(Key) && C != u'x' && C != u'h' && C != u'H' &&
             !IsPassingControlCharacter(C)) {
    Key = QChar();
  }
}

bool TFrameConfigLine::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched != ComboBoxOffset->lineEdit() || Event->type() != QEvent::KeyPress)
    return QFrame::eventFilter(Watched, Event);
  const auto* Press = static_cast<QKeyEvent*>(Event);
  if (Press->text().size() != 1) return false;
  const QChar Typed = Press->text().front();
  QChar Key = Typed;
  ComboBoxOffsetKeyPress(ComboBoxOffset, Key);
  if (Key == Typed) return false;
  if (!Key.isNull()) {
    // The character in its mapped form, as if typed so; the filter passes it unchanged.
    QKeyEvent Mapped(QEvent::KeyPress, Key.toUpper().unicode(), Press->modifiers(), QString(Key),
                     Press->isAutoRepeat());
    QCoreApplication::sendEvent(Watched, &Mapped);
  }
  return true;
}

void TFrameConfigLine::TimerCheckTimer() {
  const bool Invalid = !FilePath().isEmpty() && !IsFilePathValid();
  if (ComboBoxPath->property(InvalidProperty).toBool() == Invalid) return;
  ComboBoxPath->setProperty(InvalidProperty, Invalid);
  // Style sheets match properties when a widget is polished: polish the box and its edit field
  // again so that the look follows the property.
  for (QWidget* Part : std::initializer_list<QWidget*>{ComboBoxPath, ComboBoxPath->lineEdit()}) {
    Part->style()->unpolish(Part);
    Part->style()->polish(Part);
    Part->update();
  }
}
