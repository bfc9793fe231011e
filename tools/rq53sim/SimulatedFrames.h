#pragma once
// What the simulated module's ROM and the loader program it runs share: command and error codes,
// a request as taken in, the flash's timing, and the little-endian and checksum helpers.

#include <QByteArray>
#include <QtGlobal>

// Command codes the ROM understands here.
enum : quint8 {
  SimFlashBegin = 0x02,
  SimFlashData = 0x03,
  SimMemBegin = 0x05,
  SimMemEnd = 0x06,
  SimMemData = 0x07,
  SimSync = 0x08,
  SimReadReg = 0x0A,
};

// Command codes of Ferrule's loader program once it runs: PING (value "FERL"), BEGIN (offset, size:
// erases exactly the sectors they cover), DATA (sequence number, then a piece of a raw deflate
// stream, checked like FLASH_DATA), FINISH (value: CRC-32 of the flash over the image), RATE (new
// rate, rate in use: value the new divisor, switched to after the reply).
enum : quint8 {
  SimLoaderPing = 0xD0,
  SimLoaderBegin = 0xD1,
  SimLoaderData = 0xD2,
  SimLoaderFinish = 0xD3,
  SimLoaderRate = 0xD4,
  SimLoaderChipId = 0xD5,    // value: the flash chip's JEDEC ID (C8 40 16 for 4 MiB)
  SimLoaderDigest = 0xD6,    // offset, size: value the CRC-32 of that flash
  SimLoaderRead = 0xD7,      // offset, size (at most 4096): the bytes in the reply
  SimLoaderErase = 0xD8,     // offset, size in whole sectors: erases exactly them
  SimLoaderEraseChip = 0xD9, // erases the whole flash
};

// Error codes the ROM puts after the failure status byte 01.
enum : quint8 {
  SimErrorInvalidMessage = 0x05,
  SimErrorBadChecksum = 0x07,
  SimErrorFlash = 0x08,   // the loader program's: erase or write refused
  SimErrorStream = 0x09,  // the loader program's: a damaged, too long or unfinished stream
};

// One request the module saw, with what it did about it.
struct TSimRequest {
  quint8 Command = 0;
  QByteArray Data;       // the data field, SLIP-decoded
  quint32 Checksum = 0;  // the header's checksum field
  quint32 Sequence = 0;  // FLASH_DATA, MEM_DATA and the loader program's DATA only
  quint32 Value = 0;     // the reply's value field, for the loader program's replies
  QByteArray Answer;     // the loader program's answer before the status bytes
  quint8 Status = 0;     // 0 success, 1 failure
  // The second status byte: the error code of a failure; on a success the last error code the
  // module met since the last READ_REG (the ROM keeps it there).
  quint8 Error = 0;
  bool Replied = true;  // false when a misbehaviour swallowed the reply or the module hung
  bool Short = false;   // a frame too short for a header; Data holds all of it
};

// Time the flash chip takes, turned into delivery delays: by default a chip's typical data-sheet
// times (a 4 KiB sector erases in 45 ms, a 64 KiB block in 150 ms, a 256-byte page programs in
// 0.7 ms); WorstCase() the longest a chip may take, Quick() a fast chip for tests that are not
// about the chip's speed. The ROM's FLASH_BEGIN erases sector by sector; the loader program erases
// whole 64 KiB blocks where they fit and reads the image back for its digest.
struct TSimTiming {
  int EraseMsPerSector = 45;
  int EraseMsPerBlock = 150;
  double PageMs = 0.7;
  int DigestMsPer64KiB = 16;

  static TSimTiming WorstCase() { return {400, 2000, 3.0, 16}; }
  static TSimTiming Quick() { return {6, 24, 0.75, 16}; }
  // The time programming Bytes takes, page by page.
  double WriteMs(qsizetype Bytes) const { return double((Bytes + 255) / 256) * PageMs; }
};

quint32 SimReadLe32(const QByteArray& Bytes, int At);
void SimAppendLe32(QByteArray& Bytes, quint32 Value);
// 0xEF XOR every byte: the check of FLASH_DATA, MEM_DATA and the loader program's DATA.
quint8 SimDataChecksum(const QByteArray& Block);
// Marks the request failed with Error; returns 0 (no busy time).
int SimFailed(TSimRequest& Request, quint8 Error);
// Dividend / Divisor rounded to the nearest; 0 for a divisor of 0.
quint32 SimDivided(quint64 Dividend, quint32 Divisor);

// What a receiver at ReceiveRate makes of Text sent at SendRate (8N1 on both sides): the bytes its
// UART samples, as a module printing at the wrong rate shows up at the tool.
QByteArray SimMisreadAtRate(const QByteArray& Text, quint32 SendRate, quint32 ReceiveRate);
