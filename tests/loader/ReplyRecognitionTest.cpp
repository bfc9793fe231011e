// Replies are fed through the receive callback as the serial component would deliver them, in one
// or several pieces; what the worker would take from the run's channel is compared.

#include "loader/DeviceIdentity.h"
#include "tests/loader/ReplyHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

#define SYNC "C0 01 08 02 00 07 07 12 20 00 00 C0 "
#define BEGIN "C0 01 02 02 00 07 07 12 20 00 00 C0 "
#define DATA "C0 01 03 02 00 07 07 12 20 00 00 C0 "

const QString Ack = "Note: RQ53 ACK success.";
const QString BaseSet = "Note: Set base address success.";
const QString Programmed = "Note: Program flash success.";
const QString Sync = "08 20120707 00 00";
const QString Begun = "02 20120707 00 00";
const QString Written = "03 20120707 00 00";

// One delivery and the bytes the recognizer keeps after it.
struct TDelivery {
  const char* Bytes;
  const char* Left;
};

// While the worker runs: the frames it takes, in order, and the lines logged. Deliveries before
// the last hand over nothing.
struct TCase {
  const char* What;
  std::vector<TDelivery> Deliveries;
  QStringList Frames;
  QStringList Log;
};

// clang-format off
const TCase Cases[] = {
    {"FLASH_BEGIN", {{BEGIN, ""}}, {Begun}, {BaseSet}},
    {"FLASH_DATA with an escaped C0 in its value",
     {{"C0 01 03 02 00 DB DC 00 F0 3F 00 00 C0", ""}}, {"03 3FF000C0 00 00"}, {Programmed}},
    {"a reply split over two deliveries",
     {{"C0 01 03 02 00 07 07", "C0 01 03 02 00 07 07"}, {"12 20 00 00 C0", ""}}, {Written},
     {Programmed}},
    {"console text before a reply is dropped",
     {{"7E 02 11 83 65 F2 1C 8C 0E 0C", ""}, {BEGIN, ""}}, {Begun}, {BaseSet}},
    {"two replies in one delivery, in order", {{DATA SYNC, ""}}, {Written, Sync}, {Programmed}},
    {"the start of the next reply is kept",
     {{DATA "C0 01 03 02 00 07", "C0 01 03 02 00 07"}}, {Written}, {Programmed}},
    {"00 C0 without a reply", {{"12 34 00 C0 56", "C0 56"}}, {}, {}},
    {"a frame too short for a reply may be followed by one",
     {{"C0 01 0A 02 00 00 C0", "C0"}}, {}, {}},
    {"two READ_REG replies", {{"C0 01 0A 02 00 34 12 AA 00 00 00 C0 C0 01 0A 02 00 78 56 BB 00 00 00 C0", ""}},
     {"0A 00AA1234 00 00", "0A 00BB5678 00 00"}, {}},
    {"an escaped register value", {{"C0 01 0A 02 00 12 DB DC DB DD 3F 00 00 C0", ""}},
     {"0A 3FDBC012 00 00"}, {}},
    {"a reply cut after an escape byte waits for the rest",
     {{"C0 01 0A 02 00 DB", "C0 01 0A 02 00 DB"}, {"DC 00 00 00 00 00 C0", ""}}, {"0A 000000C0 00 00"}, {}},
    // The module keeps its last error code in the second status byte of later successes.
    {"a success that kept an error code", {{"C0 01 03 02 00 07 07 12 20 00 05 C0", ""}},
     {"03 20120707 00 05"}, {Programmed}},
    {"a reply opens with a frame byte of its own",
     {{DATA "01 02 02 00 07 07 12 20 00 00 C0", "C0"}}, {Written}, {Programmed}},
    {"a frame whose length field disagrees is none, and opens the next",
     {{"C0 01 03 01 04 07 07 12 20 00 00 C0 01 03 02", "C0 01 03 02"}}, {}, {}},
    {"a damaged reply, then a good one", {{"C0 01 03 02 00 07 07 C0 " DATA, ""}}, {Written},
     {Programmed}},
    {"a broken escape, then a good reply", {{"C0 01 02 02 00 DB 07 07 12 20 00 00 C0 " BEGIN, ""}},
     {Begun}, {BaseSet}},
    {"a refused block", {{"00 C0 01 03 02 00 07 07", "C0 01 03 02 00 07 07"}, {"12 20 01 07 C0", ""}},
     {"03 20120707 01 07"}, {"Error: RQ53 rejected flash data (error 0x07)."}},
    {"a refused FLASH_BEGIN", {{"C0 01 02 02 00 07 07 12 20 01 05 C0", ""}}, {"02 20120707 01 05"},
     {"Error: RQ53 rejected set base address (error 0x05)."}},
    {"a refused READ_REG", {{"C0 01 0A 02 00 44 33 22 11 01 0A C0", ""}}, {"0A 11223344 01 0A"},
     {"Error: RQ53 rejected register read (error 0x0A)."}},
    {"a refusal, then a success of the same kind", {{"C0 01 03 02 00 07 07 12 20 01 07 C0 " DATA, ""}},
     {"03 20120707 01 07", Written}, {"Error: RQ53 rejected flash data (error 0x07).", Programmed}},
    {"the loader program's reply with an answer before its status",
     {{"C0 01 D3 0A 00 78 56 34 12 00 10 00 00 00 10 00 00 00 00 C0", ""}}, {"D3 12345678 00 00"}, {}},
};
// clang-format on

TEST(ReplyRecognition, FramesGoToTheWorkerInTheOrderTheyCame) {
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TReplyHarness H;
    H.Record.RunState = StateJobRunning;
    for (const TDelivery& Delivery : Case.Deliveries) {
      EXPECT_TRUE(H.Log.isEmpty()) << "recognised before the last delivery";
      H.Deliver(TReplyHarness::Hex(Delivery.Bytes));
      EXPECT_EQ(H.Recognizer.HeldBytes(), TReplyHarness::Hex(Delivery.Left).size());
    }
    EXPECT_EQ(H.Taken(), Case.Frames);
    EXPECT_EQ(H.Log, Case.Log);
  }
}

// The handshake is acknowledged once for the eight answers to a SYNC, also when they come in
// pieces; nothing reaches the channel until the worker runs, and a SYNC reply with another value
// acknowledges nothing.
TEST(ReplyRecognition, TheHandshakeIsAcknowledgedOnce) {
  TReplyHarness H;
  H.Record.RunState = StateHandshake;
  H.Deliver(TReplyHarness::Hex("C0 01 08 02 00 07 07 12 21 00 00 C0"));
  EXPECT_EQ(H.Record.RunState, StateHandshake);
  const QByteArray Eight = TReplyHarness::Hex(SYNC SYNC SYNC SYNC SYNC SYNC SYNC SYNC);
  H.Deliver(Eight.first(30));
  EXPECT_EQ(H.Record.RunState, StateJobRunning);
  H.Deliver(Eight.sliced(30));
  EXPECT_EQ(H.Log, QStringList{Ack});
  EXPECT_EQ(H.Taken().size(), 6);  // the rest of the answers, which the worker skips
  H.Record.RunState = StateFinished;
  H.Deliver(TReplyHarness::Hex(DATA));
  EXPECT_TRUE(H.Taken().isEmpty());
}

// A module printing console text (no frame byte in it) leaves nothing behind, and one with frame
// bytes in its noise at most a reply's length; a reply split over two deliveries after the text
// still counts.
TEST(ReplyRecognition, ConsoleTextDoesNotPileUp) {
  TReplyHarness H;
  H.Record.RunState = StateJobRunning;
  QByteArray Text;
  for (int Line = 0; Text.size() < 1024 * 1024; ++Line)
    Text += "I (" + QByteArray::number(Line) + ") wifi: station scan, 7 found\r\n";
  for (qsizetype Fed = 0; Fed < Text.size(); Fed += 255) {
    H.Deliver(Text.mid(Fed, 255));
    ASSERT_EQ(H.Recognizer.HeldBytes(), 0);
  }
  qsizetype Largest = 0;
  for (int Noise = 0; Noise < 4000; ++Noise) {
    H.Deliver(QByteArray(1, '\xC0') + Text.mid(Noise * 7, 200));
    Largest = std::max(Largest, H.Recognizer.HeldBytes());
  }
  EXPECT_LE(Largest, MaxReplyFrameBytes);
  const QByteArray Reply = TReplyHarness::Hex(DATA);
  H.Deliver(Text.right(200) + Reply.first(7));
  H.Deliver(Reply.sliced(7) + Text.left(100));
  EXPECT_EQ(H.Taken(), QStringList{Written});
  EXPECT_EQ(H.Log, QStringList{Programmed});
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
  for (const auto& Case : Cases) {
    const TModuleMAC MAC = DeriveModuleMAC(Case.Words);
    EXPECT_EQ(MAC.Station, Case.Station);
    EXPECT_EQ(MAC.AccessPoint, Case.AccessPoint);
  }
}

// A worker waiting for a reply wakes when it comes and when the run is stopped; a new run starts
// with neither the old frames nor the stop.
TEST(ReplyChannel, WakesTheWorkerForAReplyAndForAStop) {
  TReplyChannel Channel;
  Channel.Open();
  EXPECT_FALSE(Channel.Next(20).has_value());
  std::optional<TReplyFrame> Got;
  std::thread Worker([&] { Got = Channel.Next(10000); });
  Channel.Put({TReplyFrame{0x03, 7, {}, 0, 0}});
  Worker.join();
  ASSERT_TRUE(Got.has_value());
  EXPECT_EQ(Got->Value, 7u);
  bool Stopped = false;
  std::thread Waiting([&] { Stopped = !Channel.Next(10000).has_value() && Channel.Stopped(); });
  Channel.Stop();
  Waiting.join();
  EXPECT_TRUE(Stopped);
  // A reply that came before the stop is still handed out, without a wait.
  Channel.Put({TReplyFrame{0x03, 8, {}, 0, 0}});
  EXPECT_EQ(Channel.Next(10000).value_or(TReplyFrame()).Value, 8u);
  EXPECT_FALSE(Channel.Next(10000).has_value());
  Channel.Open();
  EXPECT_FALSE(Channel.Stopped());
  EXPECT_FALSE(Channel.Next(0).has_value());
}

}  // namespace
