#include "tests/loader/ReplyHarness.h"

#include <gtest/gtest.h>

namespace {

TEST(RunRecord, FreshRecordIsIdle) {
  static_assert(sizeof(TRunState) == 1);
  EXPECT_EQ((std::array{int(StateHandshake), int(StateBurn), int(StateRun), int(StateFinished)}),
            (std::array{0, 1, 2, 3}));
  const TRunRecord Record;
  EXPECT_EQ(Record.RunState, StateFinished);
  EXPECT_FALSE(Record.BurnOK || Record.LastOperationSuccess || Record.LastOperationFailed ||
               Record.IsThreadStarted);
  EXPECT_EQ(Record.MACReg0 | Record.MACReg1 | Record.MACReg2 | Record.MACReg3 |
                Record.CurrentAddress | Record.MACFlag | Record.BitFlag,
            0u);
  EXPECT_EQ(Record.MACAddr, (std::array<quint8, 6>{}));
  EXPECT_TRUE(Record.SerailBufferA.isEmpty() && Record.APMACStr.isEmpty() &&
              Record.STAMACStr.isEmpty() && Record.FConfigDir.isEmpty());
}

TEST(RunRecord, MACTextsAreEmptyFromTheFirstRegisterUntilTheLast) {
  TReplyHarness H;
  H.ReadMACRegisters(0x56400000, 0x00001234, 0, 0);
  // A second run: the texts of the first stay until its first register arrives.
  H.Record.RunState = StateHandshake;
  H.Deliver(TReplyHarness::Hex("C0 01 08 02 00 07 07 12 20 00 00 C0"));
  EXPECT_EQ(H.Record.STAMACStr, "18:FE:34:12:34:56");
  EXPECT_EQ(H.Record.APMACStr, "1A-FE-34-12-34-56");

  H.ReadRegister(0x3FF00050, 0x77000000);
  EXPECT_TRUE(H.Record.STAMACStr.isEmpty() && H.Record.APMACStr.isEmpty());
  H.ReadRegister(0x3FF00054, 0x00008899);
  H.ReadRegister(0x3FF00058, 0);
  EXPECT_TRUE(H.Record.STAMACStr.isEmpty() && H.Record.APMACStr.isEmpty());
  EXPECT_EQ(H.Record.MACAddr, (std::array<quint8, 6>{0x18, 0xFE, 0x34, 0x12, 0x34, 0x56}));
  H.ReadRegister(0x3FF0005C, 0);
  EXPECT_EQ(H.Record.STAMACStr, "18:FE:34:88:99:77");
  EXPECT_EQ(H.Record.APMACStr, "1A-FE-34-88-99-77");
}

}  // namespace
