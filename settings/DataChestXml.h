#pragma once
// The settings file: the store as an XML document whose root DataChest holds one Data
// element per variable (name attribute, Type and Value texts) and a Publisher element.
// The file is UTF-8 with a byte-order mark, CR LF line ends and two spaces of indent.

#include "settings/DataChest.h"

#include <QDomDocument>
#include <QDomElement>
#include <QList>

#include <stdexcept>

// Text that is not well-formed XML, a root other than DataChest, an element whose text is
// not a single piece of text, or a text that an XML file cannot carry.
class EXmlDocError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A settings file that cannot be opened, created or written.
class EChestFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A view over one element of the document. Reading a child element that is absent
// creates it empty and gives the empty text; writing one that is absent appends it.
class TXMLNodeView {
 public:
  explicit TXMLNodeView(QDomElement Element) : FElement(std::move(Element)) {}
  QDomElement Element() const { return FElement; }

 protected:
  QString ChildText(const QString& TagName);
  void SetChildText(const QString& TagName, const QString& Text);
  QDomElement Child(const QString& TagName);

  QDomElement FElement;
};

class TXMLPublisherType : public TXMLNodeView {
 public:
  using TXMLNodeView::TXMLNodeView;
  QString Info() { return ChildText(QStringLiteral("Info")); }
  void SetInfo(const QString& Text) { SetChildText(QStringLiteral("Info"), Text); }
  QString Version() { return ChildText(QStringLiteral("Version")); }
  void SetVersion(const QString& Text) { SetChildText(QStringLiteral("Version"), Text); }
};

class TXMLDataType : public TXMLNodeView {
 public:
  using TXMLNodeView::TXMLNodeView;
  QString Name();
  void SetName(const QString& Name);
  QString Type() { return ChildText(QStringLiteral("Type")); }
  void SetType(const QString& Text) { SetChildText(QStringLiteral("Type"), Text); }
  QString Value() { return ChildText(QStringLiteral("Value")); }
  void SetValue(const QString& Text) { SetChildText(QStringLiteral("Value"), Text); }
};

// The Data children of the root in document order; other children do not count.
class TXMLDataTypeList {
 public:
  explicit TXMLDataTypeList(const QDomElement& Root);
  int Count() const { return int(FItems.size()); }
  TXMLDataType operator[](int Index) const { return TXMLDataType(FItems.at(Index)); }
  // Appends a new Data element after the root's existing children.
  TXMLDataType Add();

 private:
  QDomElement FRoot;
  QList<QDomElement> FItems;
};

// The view of the root element; it keeps its document alive.
class TXMLDataChestType : public TXMLNodeView {
 public:
  TXMLDataChestType(QDomDocument Document, const QDomElement& Root);
  // Created empty on first access when absent.
  TXMLPublisherType Publisher() { return TXMLPublisherType(Child(QStringLiteral("Publisher"))); }
  TXMLDataTypeList& Data() { return FData; }
  QDomDocument Document() const { return FDocument; }

 private:
  QDomDocument FDocument;
  TXMLDataTypeList FData;
};

// A new document with the declaration version "1.0" and an empty DataChest root.
TXMLDataChestType ChestNewDocument();
// The view of the document's root; raises EXmlDocError when the root is not DataChest.
TXMLDataChestType ChestBindDocument(const QDomDocument& Document);

// 1 to 4 for "INTEGER", "REAL", "BOOLEAN", "STRING" with a-z in any case, else 0.
TChestType ChestTypeFromWord(const QString& Word);

// The store as unformatted document text, and the reverse: parse the text and set the
// variables it holds (the store is not emptied first; a failing element stops the load
// and the variables before it stay set).
QString ChestToXMLText();
void ChestFromXMLText(const QString& Text);

// The whole file is written to a temporary file beside it and replaces the old one only
// when complete; on failure the previous file stays as it was and the error is raised.
void ChestSaveToFile(const QString& FileName);
void ChestLoadFromFile(const QString& FileName);
