#pragma once
// The images a run writes and where: built-in images by their display name and the user's own
// image files by their path, each at a flash offset. Every image is read into memory once, when
// the run starts, and hashed; a file changed or deleted afterwards changes nothing. What cannot be
// written is found here, before anything is sent to a module.

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// An image as chosen: a built-in image's display name or an image file's path, and the flash
// offset it goes to (hexadecimal text, as the settings hold it).
struct TImageSource {
  QString NameOrPath;
  QString Offset;
};

// An image as a run writes it.
struct TImageRegion {
  QString Name;        // the built-in image's name or the file's name
  QString Path;        // the file read; empty for a built-in image
  quint32 Offset = 0;
  QByteArray Bytes;
  QByteArray Sha256;   // of the bytes as read, before a header is patched
  bool IsFile() const { return !Path.isEmpty(); }
  quint64 End() const { return quint64(Offset) + quint64(Bytes.size()); }
};

inline constexpr qint64 MaxImageFileBytes = 16 * 1024 * 1024;

// A name with no path in it that the program carries as a built-in image.
bool IsBuiltInImageName(const QString& NameOrPath);

// A path, or a name with no path in it that is no built-in image while a file of that name is
// there: the user's own image file.
bool NamesImageFile(const QString& NameOrPath);

// The name a front end shows for a source: a built-in image's name, a file's name.
QString ImageDisplayName(const QString& NameOrPath);

// The sources read, or why they could not be.
struct TImagesRead {
  std::vector<TImageRegion> Regions;  // every source, in order, when all could be read
  QString Error;                      // in the outcome's words; empty when all were read
  bool BadOffset = false;             // the error is an offset's, not an image's
};

// Every source read, in order, up to the first that cannot be: a file missing, a folder,
// unreadable, empty or larger than 16 MiB (refused before it is read whole), a built-in name the
// program does not carry, an offset that is no hexadecimal number.
TImagesRead ReadImageRegions(const std::vector<TImageSource>& Sources);

// Why the regions cannot be written into a flash of FlashBytes: an offset off a 4 KiB sector, a
// region past the flash's end, two regions that overlap, an image file at offset 0 that would not
// boot (see BootHeaderProblem), an image at 0 too short for its header; empty when they can.
QString RegionsRefusal(const std::vector<TImageRegion>& Regions, quint64 FlashBytes,
                       const QString& FlashSizeText);
