// The settings reader fed arbitrary text. Whatever it takes in before the text is found wanting
// (a load that fails keeps the variables set before the failing element) is saved to a settings
// file, read back into an empty store and saved again: the store's text must come out the same.

#include "settings/DataChest.h"
#include "settings/DataChestXml.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QDir>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  // The settings file is written and read for every input: a memory file system keeps that fast.
  static const QTemporaryDir Folder(
      (QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath()) +
      QStringLiteral("/ferrule-fuzz-XXXXXX"));
  static const QString FileName = Folder.filePath(QStringLiteral("Config.xml"));
  ChestReset();
  try {
    ChestFromXMLText(QString::fromUtf8(reinterpret_cast<const char*>(Data), qsizetype(Size)));
  } catch (const EXmlDocError&) {
  } catch (const EConvertError&) {
  }
  const QString Loaded = ChestToXMLText();
  const int Count = ChestCount();
  ChestSaveToFile(FileName);
  ChestReset();
  ChestLoadFromFile(FileName);
  FUZZ_CHECK(ChestCount() == Count);
  FUZZ_CHECK(ChestToXMLText() == Loaded);
  return 0;
}
