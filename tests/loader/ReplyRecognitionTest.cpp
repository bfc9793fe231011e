// Replies are fed through the receive callback as the serial component would deliver them, in one
// or several pieces.

#include "tests/loader/ReplyHarness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

#define SYNC "C0 01 08 02 00 07 07 12 20 00 00 C0 "
#define BEGIN "C0 01 02 02 00 07 07 12 20 00 00 C0 "
#define DATA "C0 01 03 02 00 07 07 12 20 00 00 C0 "

const QString Ack = "Note: RQ53 ACK success.";
const QString BaseSet = "Note: Set base address success.";
const QString Programmed = "Note: Program flash success.";
constexpr quint32 Untouched = 0xFFFFFFFF;

// One delivery and what the receive buffer holds after it.
struct TDelivery {
  const char* Bytes;
  const char* Left;
};

// Deliveries before the last recognise nothing. The register read awaited is 0x3FF00054
// (MACReg1) unless Address says otherwise.
struct TCase {
  const char* What;
  std::vector<TDelivery> Deliveries;
  QStringList Log;
  // B: RunState went from StateHandshake to StateBurn; S: LastOperationSuccess;
  // F: LastOperationFailed.
  const char* Outcome = "";
  quint32 MACReg1 = Untouched;
  quint32 Address = 0x3FF00054;
};

// clang-format off
const TCase Cases[] = {
    {"SYNC, answered eight times", {{SYNC SYNC SYNC SYNC SYNC SYNC SYNC SYNC, ""}}, {Ack}, "B"},
    {"FLASH_BEGIN", {{BEGIN, ""}}, {BaseSet}, "S"},
    {"FLASH_DATA with an escaped C0 in its value",
     {{"C0 01 03 02 00 DB DC 00 F0 3F 00 00 C0", ""}}, {Programmed}, "S"},
    {"a reply split over two deliveries",
     {{"C0 01 08 02 00 07 07", "C0 01 08 02 00 07 07"}, {"12 20 00 00 C0", ""}}, {Ack}, "B"},
    {"console text before a reply is dropped",
     {{"7E 02 11 83 65 F2 1C 8C 0E 0C", ""}, {BEGIN, ""}}, {BaseSet}, "S"},
    {"two replies in one delivery, tested in order", {{DATA SYNC, ""}}, {Ack, Programmed}, "BS"},
    {"the start of the next reply is kept",
     {{DATA "C0 01 03 02 00 07", "C0 01 03 02 00 07"}}, {Programmed}, "S"},
    {"a tail that starts no reply is dropped", {{SYNC "C0 01 04", ""}}, {Ack}, "B"},
    {"a tail longer than any reply is dropped",
     {{"C0 01 03 02 00 07 07 12 20 00 00 00 00 00 00 00 00 00", ""}}, {}},
    {"00 C0 without a reply", {{"12 34 00 C0 56", ""}}, {}},
    {"SYNC compared in its value", {{"C0 01 08 02 00 07 07 12 21 00 00 C0", ""}}, {}},
    {"a frame too short for a reply may be followed by one",
     {{"C0 01 0A 02 00 00 C0", "C0"}}, {}},
    {"two READ_REG replies: the first is decoded",
     {{"C0 01 0A 02 00 34 12 AA 00 00 00 C0 C0 01 0A 02 00 78 56 BB 00 00 00 C0", ""}}, {}, "S",
     0x00AA1234},
    {"READ_REG awaited for another register", {{"C0 01 0A 02 00 44 33 22 11 00 00 C0", ""}}, {},
     "S", Untouched, 0x60000078},
    {"an escaped register value is decoded", {{"C0 01 0A 02 00 12 DB DC DB DD 3F 00 00 C0", ""}},
     {}, "S", 0x3FDBC012},
    {"a register reply waits for its value",
     {{"55 12 00 C0 01 0A 02 00 78 56", "C0 01 0A 02 00 78 56"}, {"34 12 00 00 C0", ""}}, {}, "S",
     0x12345678},
    {"a reply cut within its prefix waits for the rest",
     {{"F0 00 C0 01 0A", "C0 01 0A"}, {"02 00 00 10 00 00 00 00 C0", ""}}, {}, "S", 0x00001000},
    {"a reply cut after an escape byte waits for the rest",
     {{"C0 01 0A 02 00 DB", "C0 01 0A 02 00 DB"}, {"DC 00 00 00 00 00 C0", ""}}, {}, "S",
     0x000000C0},
    // The module keeps its last error code in the second status byte of later successes.
    {"a success that kept an error code holds no 00 C0",
     {{"C0 01 03 02 00 07 07 12 20 00 05 C0", ""}}, {Programmed}, "S"},
    {"SYNC that kept an error code", {{"C0 01 08 02 00 07 07 12 20 00 07 C0", ""}}, {Ack}, "B"},
    {"READ_REG that kept an error code", {{"C0 01 0A 02 00 44 33 22 11 00 05 C0", ""}}, {}, "S",
     0x11223344},
    {"a reply opens with a frame byte of its own",
     {{DATA "01 02 02 00 07 07 12 20 00 00 C0", "C0"}}, {Programmed}, "S"},
    {"nor does the start of one wait without it", {{DATA "01 02 02 00", ""}}, {Programmed}, "S"},
    {"a frame of a reply's length that is none opens the next",
     {{"C0 01 03 01 04 07 07 12 20 00 00 C0 01 03 02", "C0 01 03 02"}}, {}},
    {"a damaged reply, then a good one", {{"C0 01 03 02 00 07 07 C0 " DATA, ""}}, {Programmed},
     "S"},
    {"a broken escape, then a good reply",
     {{"C0 01 02 02 00 DB 07 07 12 20 00 00 C0 " BEGIN, ""}}, {BaseSet}, "S"},
    {"a flash reply waits for its status",
     {{"00 C0 01 03 02 00 07 07", "C0 01 03 02 00 07 07"}, {"12 20 01 07 C0", ""}},
     {"Error: RQ53 rejected flash data (error 0x07)."}, "F"},
    {"failed FLASH_BEGIN", {{"C0 01 02 02 00 07 07 12 20 01 05 C0", ""}},
     {"Error: RQ53 rejected set base address (error 0x05)."}, "F"},
    {"failed READ_REG stores nothing", {{"C0 01 0A 02 00 44 33 22 11 01 0A C0", ""}},
     {"Error: RQ53 rejected register read (error 0x0A)."}, "F"},
    {"a failure ending in 00 C0 like a success", {{"C0 01 03 02 00 07 07 12 20 01 00 C0", ""}},
     {"Error: RQ53 rejected flash data (error 0x00)."}, "F"},
    {"a failure split over two deliveries",
     {{"C0 01 03 02 00 07 07 12 20 01", "C0 01 03 02 00 07 07 12 20 01"}, {"07 C0", ""}},
     {"Error: RQ53 rejected flash data (error 0x07)."}, "F"},
    {"a failure, then a success of the same kind",
     {{"C0 01 03 02 00 07 07 12 20 01 07 C0 " DATA, ""}},
     {"Error: RQ53 rejected flash data (error 0x07).", Programmed}, "SF"},
};
// clang-format on

TEST(ReplyRecognition, RecognitionRules) {
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TReplyHarness H;
    H.Record.RunState = StateHandshake;
    H.Record.CurrentAddress = Case.Address;
    H.Record.MACReg1 = Untouched;
    for (const TDelivery& Delivery : Case.Deliveries) {
      EXPECT_TRUE(H.Log.isEmpty() && H.Record.RunState == StateHandshake &&
                  !H.Record.LastOperationSuccess && !H.Record.LastOperationFailed)
          << "recognised before the last delivery";
      H.Deliver(TReplyHarness::Hex(Delivery.Bytes));
      EXPECT_EQ(H.Record.SerailBufferA, TReplyHarness::Hex(Delivery.Left));
    }
    const QString Outcome = Case.Outcome;
    EXPECT_EQ(H.Log, Case.Log);
    EXPECT_EQ(H.Record.RunState, Outcome.contains('B') ? StateBurn : StateHandshake);
    EXPECT_EQ(H.Record.LastOperationSuccess, Outcome.contains('S'));
    EXPECT_EQ(H.Record.LastOperationFailed, Outcome.contains('F'));
    EXPECT_EQ(H.Record.MACReg1, Case.MACReg1);
  }
}

// A module printing console text (no frame byte in it) leaves at most the start of a reply
// behind after any delivery, and a reply split over two deliveries after the text still counts.
TEST(ReplyRecognition, ConsoleTextDoesNotPileUp) {
  TReplyHarness H;
  QByteArray Text;
  for (int Line = 0; Text.size() < 1024 * 1024; ++Line)
    Text += "I (" + QByteArray::number(Line) + ") wifi: station scan, 7 found\r\n";
  qsizetype Largest = 0;
  for (qsizetype Fed = 0; Fed < Text.size(); Fed += 255) {
    H.Deliver(Text.mid(Fed, 255));
    Largest = std::max(Largest, H.Record.SerailBufferA.size());
  }
  EXPECT_LE(Largest, ReplyHoldLimit);
  const QByteArray Reply = TReplyHarness::Hex(DATA);
  H.Deliver(Text.right(200) + Reply.first(7));
  EXPECT_EQ(H.Record.SerailBufferA, Reply.first(7));
  H.Deliver(Reply.sliced(7) + Text.left(100));
  EXPECT_TRUE(H.Record.LastOperationSuccess);
  EXPECT_EQ(H.Log, QStringList{Programmed});
  EXPECT_TRUE(H.Record.SerailBufferA.isEmpty());
}

TEST(ReplyRecognition, EveryBlockAcknowledgementAddsOneLine) {
  TReplyHarness H;
  for (int Block = 0; Block < 469; ++Block) {
    H.Record.LastOperationSuccess = false;
    H.Deliver(TReplyHarness::Hex(DATA));
    ASSERT_TRUE(H.Record.LastOperationSuccess) << "block " << Block;
  }
  EXPECT_EQ(H.Log.size(), 469);
  EXPECT_EQ(H.Log.count(Programmed), 469);
}

TEST(ReplyRecognition, MACAddressFromTheFourEfuseWords) {
  const struct {
    std::array<quint32, 4> Words;
    const char* Station;
    const char* AccessPoint;
  } Cases[] = {
      // Bits 16-23 of the first word (0x40) are a check byte, not part of the address.
      {{0x56400000, 0x00001234, 0, 0}, "18:FE:34:12:34:56", "1A-FE-34-12-34-56"},
      {{0x0A7F0000, 0x0001A0B1, 0, 0}, "AC:D0:74:A0:B1:0A", "AE-D0-74-A0-B1-0A"},
      {{0xAB7F0000, 0x00000102, 0x00001000, 0x005CCF7F}, "5C:CF:7F:01:02:AB", "5E-CF-7F-01-02-AB"},
      // Adding 2 to a first byte of 0xFE or 0xFF gives three digits.
      {{0x05000000, 0x00000607, 0xFFFFFFFF, 0x00FF0102}, "FF:01:02:06:07:05", "101-01-02-06-07-05"},
  };
  TReplyHarness H;
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Station);
    H.ReadMACRegisters(Case.Words[0], Case.Words[1], Case.Words[2], Case.Words[3]);
    const std::array<quint32, 4> Stored{H.Record.MACReg0, H.Record.MACReg1, H.Record.MACReg2,
                                        H.Record.MACReg3};
    EXPECT_EQ(Stored, Case.Words);
    EXPECT_EQ(H.Record.STAMACStr, Case.Station);
    EXPECT_EQ(H.Record.APMACStr, Case.AccessPoint);
  }
  EXPECT_EQ(H.Record.MACAddr, (std::array<quint8, 6>{0xFF, 0x01, 0x02, 0x06, 0x07, 0x05}));
}

}  // namespace
