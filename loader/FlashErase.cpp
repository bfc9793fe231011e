#include "loader/FlashErase.h"

#include <algorithm>

namespace {

constexpr int WorstSectorEraseMs = 400;
constexpr int WorstBlockEraseMs = 2000;

quint32 SectorsTouched(quint32 Offset, quint32 Size) {
  const quint64 End = quint64(Offset) + Size;
  return quint32((End + FlashSectorSize - 1) / FlashSectorSize - Offset / FlashSectorSize);
}

// Sectors from the one holding Offset up to the next 64 KiB boundary.
quint32 SectorsToBlockEnd(quint32 Offset) {
  return SectorsPerFlashBlock - (Offset / FlashSectorSize) % SectorsPerFlashBlock;
}

}  // namespace

quint32 SectorsErasedBy(quint32 Offset, quint32 Size) {
  if (Size == 0) return 0;
  const quint32 Touched = SectorsTouched(Offset, Size);
  return Touched + std::min(Touched, SectorsToBlockEnd(Offset));
}

// Erased = n + min(n, h) with h the sectors to the block's end: n = m - h gives m sectors when
// m > 2h, n = m / 2 when m is even and at most 2h; an odd m of at most 2h has no n.
quint32 FlashBeginSize(quint32 Offset, quint32 ImageSize) {
  const quint32 Wanted = SectorsTouched(Offset, ImageSize);
  const quint32 ToBlockEnd = SectorsToBlockEnd(Offset);
  const quint32 Touched = Wanted > 2 * ToBlockEnd ? Wanted - ToBlockEnd : (Wanted + 1) / 2;
  return std::min(ImageSize, Touched * FlashSectorSize);
}

// The erase goes by sectors up to a 64 KiB boundary, by whole blocks beyond it and by sectors
// again after the last whole block.
int FlashBeginWaitMs(quint32 Offset, quint32 Sectors, int ReplyWaitMs) {
  const quint32 Head = std::min(Sectors, SectorsToBlockEnd(Offset) % SectorsPerFlashBlock);
  const quint32 Blocks = (Sectors - Head) / SectorsPerFlashBlock;
  const quint32 Single = Sectors - Blocks * SectorsPerFlashBlock;
  return ReplyWaitMs + int(Single) * WorstSectorEraseMs + int(Blocks) * WorstBlockEraseMs;
}
