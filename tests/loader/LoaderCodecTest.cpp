// Requests are compared with byte strings written out by hand from the protocol tables,
// never with strings built by the codec itself.

#include "loader/LoaderCodec.h"

#include <gtest/gtest.h>

namespace {

QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }

// Shows mismatching packets as hex in failure messages.
std::string Shown(const QByteArray& Bytes) { return Bytes.toHex(' ').toUpper().toStdString(); }

#define EXPECT_BYTES(Actual, Expected) EXPECT_EQ(Shown(Actual), Shown(Expected))

TEST(LoaderTemplates, RequestTemplatesHoldTheirExactBytes) {
  EXPECT_BYTES(SyncRequestTemplate, Hex("C0 00 08 24 00 78 01 3A 00 07 07 12 20"
                                        "55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 55"
                                        "55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 C0"));
  EXPECT_BYTES(ReadRegRequestTemplate, Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0"));
  EXPECT_BYTES(
      FlashBeginRequestTemplate,
      Hex("C0 00 02 10 00 78 01 3A 00 00 00 00 00 00 00 00 00 00 04 00 00 00 00 00 00 C0"));
  EXPECT_BYTES(FlashDataRequestTemplate,
               Hex("C0 00 03 10 04 EF 00 00 00 00 04 00 00 01 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(LoaderTemplates, ReplyTemplatesHoldTheirExactBytes) {
  EXPECT_BYTES(SyncReplyTemplate, Hex("C0 01 08 02 00 07 07 12 20 00 00 C0"));
  EXPECT_BYTES(FlashBeginReplyTemplate, Hex("C0 01 02 02 00 07 07 12 20 00 00 C0"));
  EXPECT_BYTES(FlashDataReplyTemplate, Hex("C0 01 03 02 00 07 07 12 20 00 00 C0"));
  EXPECT_BYTES(ReadRegReplyTemplate, Hex("C0 01 0A 02 00 00 00 8A FB 00 00 C0"));
  EXPECT_BYTES(ReplyEndMarker, Hex("00 C0"));
}

TEST(LoaderChecksum, StartsFromEFAndXorsEveryByte) {
  EXPECT_EQ(LoaderChecksum(QByteArray()), 0xEF);
  EXPECT_EQ(LoaderChecksum(QByteArray(1024, '\xFF')), 0xEF);
  EXPECT_EQ(LoaderChecksum("abc"), 0x8F);
  EXPECT_EQ(LoaderChecksum(Hex("2F")), 0xC0);
}

TEST(Slip, EscapesFrameAndEscapeBytesOnly) {
  EXPECT_BYTES(SlipEscape(Hex("01 C0 DB 02")), Hex("01 DB DC DB DD 02"));
  EXPECT_BYTES(SlipEscape(Hex("00 01 DC DD 7F FF")), Hex("00 01 DC DD 7F FF"));
  EXPECT_TRUE(SlipEscape(QByteArray()).isEmpty());
}

TEST(Slip, DecodeUndoesEscapingAndRefusesBrokenEscapes) {
  EXPECT_EQ(SlipDecode(Hex("01 DB DC DB DD 02")), Hex("01 C0 DB 02"));
  EXPECT_EQ(SlipDecode(QByteArray()), QByteArray());
  EXPECT_EQ(SlipDecode(Hex("01 DB 02")), std::nullopt);
  EXPECT_EQ(SlipDecode(Hex("01 DB")), std::nullopt);
}

TEST(Slip, ReframeEscapesEverythingButTheFrameBytes) {
  EXPECT_BYTES(ReframeEscaped(Hex("C0 01 C0 DB 02 C0")), Hex("C0 01 DB DC DB DD 02 C0"));
  EXPECT_BYTES(ReframeEscaped(Hex("C0 C0")), Hex("C0 C0"));
}

TEST(ReadRegRequest, PatchesTheAddressAndStaysUnescaped) {
  EXPECT_BYTES(BuildReadRegRequest(0x3FF0005C), Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0"));
  EXPECT_BYTES(BuildReadRegRequest(0x3FF00050), ReadRegRequestTemplate);
  EXPECT_BYTES(BuildReadRegRequest(0x12345678), Hex("C0 00 0A 04 00 07 07 12 20 78 56 34 12 C0"));
}

TEST(FlashBeginRequest, PatchesSizeCountAndOffset) {
  EXPECT_BYTES(
      BuildFlashBeginRequest(1000, 1, 0),
      Hex("C0 00 02 10 00 78 01 3A 00 E8 03 00 00 01 00 00 00 00 04 00 00 00 00 00 00 C0"));
  EXPECT_BYTES(
      BuildFlashBeginRequest(480096, 469, 0x10000),
      Hex("C0 00 02 10 00 78 01 3A 00 60 53 07 00 D5 01 00 00 00 04 00 00 00 00 01 00 C0"));
}

TEST(FlashBeginRequest, EscapesFieldBytesThatLookLikeFrameBytes) {
  // Erase size 0xDBC0, block count 0xC0, offset 0xDB000000.
  EXPECT_BYTES(BuildFlashBeginRequest(0xDBC0, 0xC0, 0xDB000000),
               Hex("C0 00 02 10 00 78 01 3A 00 DB DC DB DD 00 00 DB DC 00 00 00"
                   "00 04 00 00 00 00 00 DB DD C0"));
}

TEST(FlashDataRequest, FramesAShortBlock) {
  // Checksum EF ^ 01 ^ 02 ^ 03 ^ 04 = EB; data length 4 + 16 = 0x14.
  EXPECT_BYTES(BuildFlashDataRequest(Hex("01 02 03 04"), 0),
               Hex("C0 00 03 14 00 EB 00 00 00 04 00 00 00 00 00 00 00"
                   "00 00 00 00 00 00 00 00 01 02 03 04 C0"));
}

TEST(FlashDataRequest, FramesAFullBlockWithItsSequenceNumber) {
  const QByteArray packet = BuildFlashDataRequest(QByteArray(1024, '\xFF'), 468);
  ASSERT_EQ(packet.size(), 1050);
  EXPECT_BYTES(packet.first(25),
               Hex("C0 00 03 10 04 EF 00 00 00 00 04 00 00 D4 01 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(packet.sliced(25, 1024), QByteArray(1024, '\xFF'));
  EXPECT_EQ(packet.back(), '\xC0');
}

TEST(FlashDataRequest, EscapesChecksumLengthSequenceAndBlockBytes) {
  // 176 bytes: data length 192 = 0xC0; checksum EF ^ 2F = C0; sequence 0xDB; a C0 and a
  // DB inside the block.
  QByteArray block(176, '\0');
  block[0] = '\x2F';
  block[1] = '\xC0';
  block[2] = '\xDB';
  block[3] = '\x1B';  // keeps the checksum at C0: C0 ^ DB ^ 1B = 00
  const QByteArray expected = Hex("C0 00 03 DB DC 00 DB DC 00 00 00 B0 00 00 00 DB DD 00 00 00"
                                  "00 00 00 00 00 00 00 00 2F DB DC DB DD 1B") +
                              QByteArray(172, '\0') + Hex("C0");
  EXPECT_BYTES(BuildFlashDataRequest(block, 0xDB), expected);
}

TEST(FlashDataRequest, WorstCaseBlockDecodesBackToThePlainPacket) {
  const QByteArray block(1024, '\xC0');
  const QByteArray packet = BuildFlashDataRequest(block, 7);
  EXPECT_EQ(packet.size(), 1050 + 1024);
  const QByteArray plain =
      Hex("C0 00 03 10 04 EF 00 00 00 00 04 00 00 07 00 00 00 00 00 00 00 00 00 00 00") + block +
      Hex("C0");
  EXPECT_EQ(SlipDecode(packet.sliced(1, packet.size() - 2)), plain.sliced(1, plain.size() - 2));
}

}  // namespace
