#pragma once
// What a FLASH_BEGIN makes the module's boot loader erase, and how long that may take.
//
// The boot loader erases whole 4 KiB sectors and more than it is asked to: with n the sectors the
// requested range touches and s its first sector, it erases n + min(n, 16 - s mod 16) sectors
// from s. The size sent is therefore chosen so that exactly the image's sectors go.

#include <QtGlobal>

inline constexpr quint32 FlashSectorSize = 4096;
inline constexpr quint32 SectorsPerFlashBlock = 16;  // one 64 KiB erase block

// Sectors the boot loader erases for a FLASH_BEGIN of Size bytes at Offset.
quint32 SectorsErasedBy(quint32 Offset, quint32 Size);

// The FLASH_BEGIN size for an image of ImageSize bytes at the sector-aligned Offset: the image
// size itself when that erases just the image's sectors, else the smallest size that does. An odd
// number of sectors that all lie before the next 64 KiB boundary cannot be erased exactly: one
// sector more goes then, the least the boot loader allows.
quint32 FlashBeginSize(quint32 Offset, quint32 ImageSize);

// The longest a module may take to answer a FLASH_BEGIN that erases Sectors sectors from the
// sector-aligned Offset: the usual reply wait plus a slow flash chip's worst erase times, 400 ms
// per 4 KiB sector and 2 s per whole 64 KiB block.
int FlashBeginWaitMs(quint32 Offset, quint32 Sectors, int ReplyWaitMs);
