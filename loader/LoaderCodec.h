#pragma once
// The requests of the module's boot ROM, built with the one frame codec: SYNC, READ_REG,
// FLASH_BEGIN and FLASH_DATA for flashing, MEM_BEGIN, MEM_DATA and MEM_END for loading a program
// into its RAM. Each comes escaped and framed, ready for the line.

#include "loader/FrameCodec.h"

#include <QByteArray>
#include <QtGlobal>

// The boot ROM's command codes.
enum TRomCommand : quint8 {
  RomFlashBegin = 0x02,
  RomFlashData = 0x03,
  RomMemBegin = 0x05,
  RomMemEnd = 0x06,
  RomMemData = 0x07,
  RomSync = 0x08,
  RomReadReg = 0x0A,
};

// The error codes a refusal of the ROM carries.
inline constexpr quint8 RomErrorInvalidMessage = 0x05;
inline constexpr quint8 RomErrorChecksum = 0x07;

// The FLASH_DATA block size the tool announces and sends.
inline constexpr int RomBlockSize = 1024;
// MEM_DATA blocks of an upload: the ROM takes at most 0x1800 bytes.
inline constexpr int MemBlockSize = 0x1000;

// SYNC: the pattern 07 07 12 20 and 32 bytes 0x55 (46 bytes on the line).
extern const QByteArray SyncRequestTemplate;

QByteArray BuildReadRegRequest(quint32 Address);
// The block size announced is RomBlockSize.
QByteArray BuildFlashBeginRequest(quint32 EraseSize, quint16 BlockCount, quint32 Offset);
// One block of at most RomBlockSize bytes, a multiple of 4.
QByteArray BuildFlashDataRequest(const QByteArray& Block, quint32 Sequence);

// MEM_BEGIN announces Size bytes in Blocks blocks of BlockSize for Address; MEM_DATA carries one
// block; MEM_END with Start runs the program at Entry after its reply.
QByteArray BuildMemBeginRequest(quint32 Size, quint32 Blocks, quint32 BlockSize, quint32 Address);
QByteArray BuildMemDataRequest(const QByteArray& Block, quint32 Sequence);
QByteArray BuildMemEndRequest(bool Start, quint32 Entry);
