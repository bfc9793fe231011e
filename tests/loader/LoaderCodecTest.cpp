// Requests are compared with byte strings written out by hand from the protocol tables,
// never with strings built by the codec itself.

#include "loader/LoaderCodec.h"

#include <gtest/gtest.h>

namespace {

QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }

// Shows mismatching packets as hex in failure messages.
std::string Shown(const QByteArray& Bytes) { return Bytes.toHex(' ').toUpper().toStdString(); }

TEST(LoaderRequests, SyncAndTheUploadRequestsHoldTheirExactBytes) {
  const std::pair<QByteArray, QByteArray> Cases[] = {
      {SyncRequestTemplate,
       Hex("C0 00 08 24 00 78 01 3A 00 07 07 12 20") + QByteArray(32, '\x55') + Hex("C0")},
      {BuildMemBeginRequest(0x1234, 2, 0x1000, 0x40105000),
       Hex("C0 00 05 10 00 00 00 00 00 34 12 00 00 02 00 00 00 00 10 00 00 00 50 10 40 C0")},
      // Checksum EF ^ C0 ^ 01 = 2E.
      {BuildMemDataRequest(Hex("C0 01"), 3),
       Hex("C0 00 07 12 00 2E 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 DB DC 01 C0")},
      {BuildMemEndRequest(true, 0x4010E004),
       Hex("C0 00 06 08 00 00 00 00 00 00 00 00 00 04 E0 10 40 C0")},
      {EncodeRequest(0xD1, Hex("DB"), 0xC0), Hex("C0 00 D1 01 00 DB DC 00 00 00 DB DD C0")},
  };
  for (const auto& [Built, Expected] : Cases) EXPECT_EQ(Shown(Built), Shown(Expected));
}

TEST(LoaderChecksumAndSlip, Examples) {
  EXPECT_EQ(LoaderChecksum(QByteArray()), 0xEF);
  EXPECT_EQ(LoaderChecksum(QByteArray(1024, '\xFF')), 0xEF);
  EXPECT_EQ(LoaderChecksum("abc"), 0x8F);
  EXPECT_EQ(Shown(SlipEscape(Hex("01 C0 DB 02"))), Shown(Hex("01 DB DC DB DD 02")));
  EXPECT_EQ(Shown(SlipEscape(Hex("00 01 DC DD 7F FF"))), Shown(Hex("00 01 DC DD 7F FF")));
  EXPECT_TRUE(SlipEscape(QByteArray()).isEmpty());
  EXPECT_EQ(SlipDecode(Hex("01 DB DC DB DD 02")), Hex("01 C0 DB 02"));
  EXPECT_EQ(SlipDecode(Hex("01 DB 02")), std::nullopt);
  EXPECT_EQ(SlipDecode(Hex("01 DB")), std::nullopt);
}

TEST(LoaderRequests, AreBuiltByteForByte) {
  // 176 bytes: data length 192 = 0xC0; checksum EF ^ 2F ^ C0 ^ DB ^ 1B = C0; a C0 and a DB
  // inside the block.
  QByteArray Block(176, '\0');
  Block.replace(0, 4, Hex("2F C0 DB 1B"));
  const std::pair<QByteArray, QByteArray> Cases[] = {
      {BuildReadRegRequest(0x3FF0005C), Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0")},
      {BuildReadRegRequest(0x12345678), Hex("C0 00 0A 04 00 07 07 12 20 78 56 34 12 C0")},
      {BuildFlashBeginRequest(1000, 1, 0),
       Hex("C0 00 02 10 00 78 01 3A 00 E8 03 00 00 01 00 00 00 00 04 00 00 00 00 00 00 C0")},
      {BuildFlashBeginRequest(480096, 469, 0x10000),
       Hex("C0 00 02 10 00 78 01 3A 00 60 53 07 00 D5 01 00 00 00 04 00 00 00 00 01 00 C0")},
      {BuildFlashBeginRequest(0xDBC0, 0xC0, 0xDB000000),
       Hex("C0 00 02 10 00 78 01 3A 00 DB DC DB DD 00 00 DB DC 00 00 00 "
           "00 04 00 00 00 00 00 DB DD C0")},
      // Checksum EF ^ 01 ^ 02 ^ 03 ^ 04 = EB; data length 4 + 16 = 0x14.
      {BuildFlashDataRequest(Hex("01 02 03 04"), 0),
       Hex("C0 00 03 14 00 EB 00 00 00 04 00 00 00 00 00 00 00 "
           "00 00 00 00 00 00 00 00 01 02 03 04 C0")},
      {BuildFlashDataRequest(Block, 0xDB),
       Hex("C0 00 03 DB DC 00 DB DC 00 00 00 B0 00 00 00 DB DD 00 00 00 "
           "00 00 00 00 00 00 00 00 2F DB DC DB DD 1B") +
           QByteArray(172, '\0') + Hex("C0")},
      {BuildFlashDataRequest(QByteArray(1024, '\xFF'), 468),
       Hex("C0 00 03 10 04 EF 00 00 00 00 04 00 00 D4 01 00 00 00 00 00 00 00 00 00 00") +
           QByteArray(1024, '\xFF') + Hex("C0")},
  };
  for (const auto& [Built, Expected] : Cases) EXPECT_EQ(Shown(Built), Shown(Expected));
}

}  // namespace
