#pragma once
// The program's resource catalogue on the Qt resource system: a resource of type TYPE and name
// NAME is the file :/TYPE/NAME. Text types and names are stored in upper case and looked up
// ignoring letter case; a name of digits only is a numbered identifier. The catalogue is walked in
// its stored order: text types in ascending order, then numbered types in ascending order, and
// within a type text names before numbered ones, each ascending.

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// A resource type or name: a text, or a number when Text is empty.
struct TResourceId {
  QString Text;
  quint32 Number = 0;
  bool IsNumber() const { return Text.isEmpty(); }
};

namespace ResourceCatalogue {
QList<TResourceId> Types();
QList<TResourceId> Names(const TResourceId& Type);
// The resource's path (":/TYPE/NAME" as stored), empty when there is none.
QString Path(const QString& Type, const QString& Name);
// The resource's bytes; nothing when there is no such resource.
std::optional<QByteArray> Load(const QString& Type, const QString& Name);
}  // namespace ResourceCatalogue
