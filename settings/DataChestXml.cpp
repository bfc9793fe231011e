#include "settings/DataChestXml.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <array>

namespace {

const QString RootName = QStringLiteral("DataChest");
const QString DataName = QStringLiteral("Data");
const QString DefaultPublisher = QStringLiteral("corvel inc");
const QByteArray ByteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

// Type words by type code; index 0 stands for no known type.
const std::array<QString, 5> TypeWords = {QString(), QStringLiteral("Integer"),
                                          QStringLiteral("Real"), QStringLiteral("Boolean"),
                                          QStringLiteral("String")};

[[noreturn]] void RaiseXmlError(const QString& Message) {
  throw EXmlDocError(Message.toStdString());
}

// XML 1.0 carries tab, LF, CR and the characters from U+0020 on, except lone surrogates,
// U+FFFE and U+FFFF. Anything else would make the file unreadable, so it is refused.
const QString& CheckedXmlText(const QString& Text) {
  for (qsizetype I = 0; I < Text.size(); ++I) {
    if (Text[I].isHighSurrogate() && I + 1 < Text.size() && Text[I + 1].isLowSurrogate()) {
      ++I;
      continue;
    }
    const char16_t C = Text[I].unicode();
    const bool Allowed = C == u'\t' || C == u'\n' || C == u'\r' || (C >= 0x20 && C < 0xD800) ||
                         (C >= 0xE000 && C <= 0xFFFD);
    if (!Allowed)
      RaiseXmlError(QStringLiteral("'%1' holds the character U+%2, which an XML file cannot carry")
                        .arg(Text)
                        .arg(int(C), 4, 16, QChar(u'0')));
  }
  return Text;
}

// The text of an element that holds at most one text or CDATA node.
QString SingleText(const QDomElement& Element) {
  const QDomNode Node = Element.firstChild();
  if (Node.isNull()) return QString();
  if ((Node.isText() || Node.isCDATASection()) && Node.nextSibling().isNull())
    return Node.nodeValue();
  RaiseXmlError(
      QStringLiteral("Element \"%1\" does not contain a single text node").arg(Element.tagName()));
}

QString ValueText(const TChestElement& Element) {
  struct {
    QString operator()(std::int32_t Value) const { return QString::number(Value); }
    QString operator()(double Value) const { return ChestRealToText(Value); }
    QString operator()(bool Value) const {
      return Value ? QStringLiteral("True") : QStringLiteral("False");
    }
    QString operator()(const TChestString& Value) const { return Value.Value; }
  } const Format;
  return std::visit(Format, Element.Value);
}

// The document of the whole store, in the element list's current order.
TXMLDataChestType ChestBuildDocument() {
  TXMLDataChestType Chest = ChestNewDocument();
  for (int I = 0; I < ChestCount(); ++I) {
    const TChestElement& Element = ChestElementAt(I);
    TXMLDataType Data = Chest.Data().Add();
    Data.SetName(Element.Name);
    Data.SetType(TypeWords.at(Element.ChestType));
    Data.SetValue(ValueText(Element));
  }
  // Created only now, so Publisher follows every Data element.
  TXMLPublisherType Publisher = Chest.Publisher();
  Publisher.SetInfo(ChestPublisherInfo.isEmpty() ? DefaultPublisher : ChestPublisherInfo);
  Publisher.SetVersion(QStringLiteral("1.0"));
  QDomDocument Document = Chest.Document();
  Document.firstChild().toProcessingInstruction().setData(
      QStringLiteral("version=\"1.0\" encoding=\"UTF-8\""));
  return Chest;
}

// The file's bytes: byte-order mark, then every line of the text followed by CR LF.
QByteArray FileBytes(const QString& Text) {
  static const QRegularExpression LineBreak(QStringLiteral("\r\n|\n|\r"));
  QStringList Lines = Text.split(LineBreak);
  if (!Lines.isEmpty() && Lines.last().isEmpty()) Lines.removeLast();
  QByteArray Bytes = ByteOrderMark;
  for (const QString& Line : Lines) Bytes += Line.toUtf8() + "\r\n";
  return Bytes;
}

[[noreturn]] void RaiseFileError(const QString& What, const QString& FileName,
                                 const QString& Reason) {
  throw EChestFileError(
      QStringLiteral("Cannot %1 file \"%2\". %3").arg(What, FileName, Reason).toStdString());
}

}  // namespace

QDomElement TXMLNodeView::Child(const QString& TagName) {
  QDomElement Found = FElement.firstChildElement(TagName);
  if (Found.isNull())
    Found = FElement.appendChild(FElement.ownerDocument().createElement(TagName)).toElement();
  return Found;
}

QString TXMLNodeView::ChildText(const QString& TagName) { return SingleText(Child(TagName)); }

void TXMLNodeView::SetChildText(const QString& TagName, const QString& Text) {
  QDomElement Target = Child(TagName);
  while (Target.hasChildNodes()) Target.removeChild(Target.firstChild());
  if (Text.isEmpty()) return;
  QDomDocument Document = FElement.ownerDocument();
  // The parser drops text nodes made of white space only (any Unicode space); a CDATA
  // section keeps them, but turns a carriage return into a line feed, so such a text
  // with one is refused.
  const bool Blank = Text.trimmed().isEmpty();
  if (Blank && Text.contains(u'\r'))
    RaiseXmlError(
        QStringLiteral("A text of white space only with a carriage return cannot be "
                       "kept in an XML file"));
  Target.appendChild(Blank ? QDomNode(Document.createCDATASection(CheckedXmlText(Text)))
                           : QDomNode(Document.createTextNode(CheckedXmlText(Text))));
}

QString TXMLDataType::Name() {
  const QString Attribute = QStringLiteral("name");
  if (!FElement.hasAttribute(Attribute)) FElement.setAttribute(Attribute, QString());
  return FElement.attribute(Attribute);
}

void TXMLDataType::SetName(const QString& Name) {
  FElement.setAttribute(QStringLiteral("name"), CheckedXmlText(Name));
}

TXMLDataTypeList::TXMLDataTypeList(const QDomElement& Root) : FRoot(Root) {
  for (QDomElement Item = Root.firstChildElement(DataName); !Item.isNull();
       Item = Item.nextSiblingElement(DataName))
    FItems.append(Item);
}

TXMLDataType TXMLDataTypeList::Add() {
  QDomElement Item = FRoot.appendChild(FRoot.ownerDocument().createElement(DataName)).toElement();
  FItems.append(Item);
  return TXMLDataType(Item);
}

TXMLDataChestType::TXMLDataChestType(QDomDocument Document, const QDomElement& Root)
    : TXMLNodeView(Root), FDocument(std::move(Document)), FData(Root) {}

TXMLDataChestType ChestNewDocument() {
  QDomDocument Document;
  Document.appendChild(Document.createProcessingInstruction(QStringLiteral("xml"),
                                                            QStringLiteral("version=\"1.0\"")));
  const QDomElement Root = Document.appendChild(Document.createElement(RootName)).toElement();
  return TXMLDataChestType(Document, Root);
}

TXMLDataChestType ChestBindDocument(const QDomDocument& Document) {
  const QDomElement Root = Document.documentElement();
  if (Root.tagName() != RootName)
    RaiseXmlError(
        QStringLiteral("The root element is \"%1\", not \"%2\"").arg(Root.tagName(), RootName));
  return TXMLDataChestType(Document, Root);
}

TChestType ChestTypeFromWord(const QString& Word) {
  for (std::size_t Code = 1; Code < TypeWords.size(); ++Code)
    if (ChestCompareNames(Word, TypeWords[Code]) == 0) return TChestType(Code);
  return ChestTypeNone;
}

QString ChestToXMLText() { return ChestBuildDocument().Document().toString(-1); }

void ChestFromXMLText(const QString& Text) {
  QDomDocument Document;
  QString Message;
  int Line = 0;
  int Column = 0;
  if (!Document.setContent(Text, &Message, &Line, &Column))
    RaiseXmlError(QStringLiteral("%1 (line %2, column %3)").arg(Message).arg(Line).arg(Column));
  TXMLDataChestType Chest = ChestBindDocument(Document);
  TXMLDataTypeList& List = Chest.Data();
  for (int I = 0; I < List.Count(); ++I) {
    TXMLDataType Data = List[I];
    const TChestType Type = ChestTypeFromWord(Data.Type());
    if (Type == ChestTypeNone) continue;
    const QString Value = Data.Value();
    const QString Name = Data.Name();
    switch (Type) {
      case ChestTypeInteger:
        ChestSetIntegerText(Name, Value);
        break;
      case ChestTypeReal:
        ChestSetRealText(Name, Value);
        break;
      case ChestTypeBoolean:
        ChestSetBooleanText(Name, Value);
        break;
      case ChestTypeString:
        ChestSetString(Name, Value);
        break;
      case ChestTypeNone:
        break;
    }
  }
}

void ChestSaveToFile(const QString& FileName) {
  const QByteArray Bytes = FileBytes(ChestBuildDocument().Document().toString(2));
  QSaveFile File(FileName);
  if (!File.open(QIODevice::WriteOnly))
    RaiseFileError(QStringLiteral("create"), FileName, File.errorString());
  // A write stops short only with an error; without a commit the old file stays.
  if (File.write(Bytes) != Bytes.size() || !File.commit())
    RaiseFileError(QStringLiteral("write"), FileName, File.errorString());
}

void ChestLoadFromFile(const QString& FileName) {
  QFile File(FileName);
  if (!File.open(QIODevice::ReadOnly))
    RaiseFileError(QStringLiteral("open"), FileName, File.errorString());
  QByteArray Bytes = File.readAll();
  if (File.error() != QFileDevice::NoError)
    RaiseFileError(QStringLiteral("read"), FileName, File.errorString());
  if (Bytes.startsWith(ByteOrderMark)) Bytes.remove(0, ByteOrderMark.size());
  try {
    ChestFromXMLText(QString::fromUtf8(Bytes));
  } catch (const EXmlDocError& Error) {
    RaiseXmlError(FileName + QStringLiteral(": ") + QString::fromStdString(Error.what()));
  }
}
