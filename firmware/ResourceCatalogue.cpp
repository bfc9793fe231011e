#include "firmware/ResourceCatalogue.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace {

const QString Root = QStringLiteral(":/");

bool IsDigits(const QString& Text) {
  return !Text.isEmpty() &&
         std::all_of(Text.begin(), Text.end(), [](QChar C) { return C >= u'0' && C <= u'9'; });
}

TResourceId IdOf(const QString& Stored) {
  bool Fits = false;
  const quint32 Number = IsDigits(Stored) ? Stored.toUInt(&Fits) : 0;
  return Fits ? TResourceId{QString(), Number} : TResourceId{Stored, 0};
}

QString StoredText(const TResourceId& Id) {
  return Id.IsNumber() ? QString::number(Id.Number) : Id.Text;
}

// Text identifiers first, then numbered ones, each ascending.
bool StoredOrder(const TResourceId& A, const TResourceId& B) {
  if (A.IsNumber() != B.IsNumber()) return B.IsNumber();
  return A.IsNumber() ? A.Number < B.Number : A.Text < B.Text;
}

// The catalogue entries of one resource folder: its sub-folders (types) or its files (names).
// Entries not stored in upper case (the Qt libraries' own resources) are none of ours.
QList<TResourceId> Entries(const QString& Folder, QDir::Filters Kind) {
  QList<TResourceId> Ids;
  for (const QString& Entry : QDir(Folder).entryList(Kind | QDir::NoDotAndDotDot, QDir::NoSort))
    if (Entry == Entry.toUpper()) Ids.append(IdOf(Entry));
  std::sort(Ids.begin(), Ids.end(), StoredOrder);
  return Ids;
}

// Entries are stored in upper case, so the upper-cased text finds one whatever the case of the
// text. Looking the text up among the entries (rather than opening a path built from it) keeps a
// text such as "../X" from reaching anything outside the folder.
QString StoredEntry(const QString& Folder, QDir::Filters Kind, const QString& Text) {
  const QString Wanted = Text.toUpper();
  return QDir(Folder).entryList(Kind | QDir::NoDotAndDotDot).contains(Wanted) ? Wanted : QString();
}

}  // namespace

namespace ResourceCatalogue {

QList<TResourceId> Types() { return Entries(Root, QDir::Dirs); }

QList<TResourceId> Names(const TResourceId& Type) {
  return Entries(Root + StoredText(Type).toUpper(), QDir::Files);
}

QString Path(const QString& Type, const QString& Name) {
  const QString StoredType = StoredEntry(Root, QDir::Dirs, Type);
  if (StoredType.isEmpty()) return QString();
  const QString Folder = Root + StoredType;
  const QString StoredName = StoredEntry(Folder, QDir::Files, Name);
  return StoredName.isEmpty() ? QString() : Folder + u'/' + StoredName;
}

std::optional<QByteArray> Load(const QString& Type, const QString& Name) {
  const QString Found = Path(Type, Name);
  if (Found.isEmpty()) return std::nullopt;
  QFile File(Found);
  if (!File.open(QIODevice::ReadOnly)) return std::nullopt;
  return File.readAll();
}

}  // namespace ResourceCatalogue
