#include "loader/LoaderCodec.h"

namespace {

// The checksum fields the tool has always sent with the requests that carry no block (the ROM
// does not look at them).
constexpr quint32 SyncChecksum = 0x003A0178;
constexpr quint32 ReadRegChecksum = 0x20120707;

}  // namespace

const QByteArray SyncRequestTemplate = EncodeRequest(
    RomSync, QByteArray::fromHex("07071220") + QByteArray(32, '\x55'), SyncChecksum);

QByteArray BuildReadRegRequest(quint32 Address) {
  return EncodeRequest(RomReadReg, LittleEndianWords({Address}), ReadRegChecksum);
}

QByteArray BuildFlashBeginRequest(quint32 EraseSize, quint16 BlockCount, quint32 Offset) {
  return EncodeRequest(RomFlashBegin, LittleEndianWords({EraseSize, BlockCount, RomBlockSize, Offset}),
                       SyncChecksum);
}

QByteArray BuildFlashDataRequest(const QByteArray& Block, quint32 Sequence) {
  return EncodeRequest(RomFlashData, LittleEndianWords({quint32(Block.size()), Sequence, 0, 0}) + Block,
                       LoaderChecksum(Block));
}

QByteArray BuildMemBeginRequest(quint32 Size, quint32 Blocks, quint32 BlockSize, quint32 Address) {
  return EncodeRequest(RomMemBegin, LittleEndianWords({Size, Blocks, BlockSize, Address}));
}

QByteArray BuildMemDataRequest(const QByteArray& Block, quint32 Sequence) {
  return EncodeRequest(RomMemData, LittleEndianWords({quint32(Block.size()), Sequence, 0, 0}) + Block,
                       LoaderChecksum(Block));
}

QByteArray BuildMemEndRequest(bool Start, quint32 Entry) {
  return EncodeRequest(RomMemEnd, LittleEndianWords({Start ? 0u : 1u, Entry}));
}
