#include "tests/loader/ReplyHarness.h"

#include <gtest/gtest.h>

namespace {

TEST(RunRecord, RunStatesAreOneByteInOrder) {
  static_assert(sizeof(TRunState) == 1);
  EXPECT_EQ(int(StateHandshake), 0);
  EXPECT_EQ(int(StateBurn), 1);
  EXPECT_EQ(int(StateRun), 2);
  EXPECT_EQ(int(StateFinished), 3);
}

TEST(RunRecord, FreshRecordIsIdle) {
  const TRunRecord record;
  EXPECT_EQ(record.RunState, StateFinished);
  EXPECT_FALSE(record.BurnOK);
  EXPECT_FALSE(record.LastOperationSuccess);
  EXPECT_FALSE(record.LastOperationFailed);
  EXPECT_FALSE(record.IsThreadStarted);
  EXPECT_TRUE(record.SerailBufferA.isEmpty());
  EXPECT_EQ(record.CurrentAddress, 0u);
  EXPECT_EQ(record.MACReg0 | record.MACReg1 | record.MACReg2 | record.MACReg3, 0u);
  EXPECT_EQ(record.MACAddr, (std::array<quint8, 6>{}));
  EXPECT_EQ(record.MACFlag, 0);
  EXPECT_EQ(record.BitFlag, 0);
  EXPECT_TRUE(record.APMACStr.isEmpty());
  EXPECT_TRUE(record.STAMACStr.isEmpty());
  EXPECT_TRUE(record.FConfigDir.isEmpty());
}

class RunRecordMAC : public ::testing::Test, public TReplyHarness {};

TEST_F(RunRecordMAC, TextsAreEmptyFromTheFirstRegisterUntilTheLast) {
  ReadMACRegisters(0x56400000, 0x00001234, 0, 0);
  ASSERT_EQ(Record.STAMACStr, "18:FE:34:12:34:56");

  // A second run: the texts of the first stay until its first register arrives.
  Record.RunState = StateHandshake;
  Deliver(Hex("C0 01 08 02 00 07 07 12 20 00 00 C0"));
  EXPECT_EQ(Record.STAMACStr, "18:FE:34:12:34:56");
  EXPECT_EQ(Record.APMACStr, "1A-FE-34-12-34-56");

  ReadRegister(0x3FF00050, 0x77000000);
  EXPECT_TRUE(Record.STAMACStr.isEmpty());
  EXPECT_TRUE(Record.APMACStr.isEmpty());
  ReadRegister(0x3FF00054, 0x00008899);
  ReadRegister(0x3FF00058, 0);
  EXPECT_TRUE(Record.STAMACStr.isEmpty());
  EXPECT_EQ(Record.MACAddr, (std::array<quint8, 6>{0x18, 0xFE, 0x34, 0x12, 0x34, 0x56}));

  ReadRegister(0x3FF0005C, 0);
  EXPECT_EQ(Record.STAMACStr, "18:FE:34:88:99:77");
  EXPECT_EQ(Record.APMACStr, "1A-FE-34-88-99-77");
}

TEST_F(RunRecordMAC, FieldsOutliveARunThatEndsEarly) {
  ReadMACRegisters(0x56400000, 0x00001234, 0, 0);
  // The next run times out after its first register: the words read then are kept and
  // the texts stay empty.
  ReadRegister(0x3FF00050, 0x99000000);
  EXPECT_EQ(Record.MACReg0, 0x99000000u);
  EXPECT_EQ(Record.MACReg1, 0x00001234u);
  EXPECT_TRUE(Record.STAMACStr.isEmpty());
  EXPECT_EQ(Record.MACAddr[5], 0x56);
}

}  // namespace
