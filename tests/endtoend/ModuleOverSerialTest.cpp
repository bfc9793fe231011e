// Requests built by the codec leave through TComm, cross a pseudo-terminal paced like a real line
// to the simulated module, and its answers come back through the reader thread to the reply
// recognition on this thread.

#include "loader/LoaderCodec.h"
#include "loader/ReplyRecognition.h"
#include "serial/SPComm.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QStringList>

namespace {

class ModuleOverSerial : public ::testing::Test {
 protected:
  void Open(quint32 BaudRate) {
    Comm.SetCommName(Port.SlavePath());
    Comm.SetBaudRate(BaudRate);
    Comm.SetInputLen(255);
    Comm.OnReceiveData = std::bind_front(&TReplyRecognizer::CommReceiveData, &Recognizer);
    Comm.StartComm();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError().toStdString();
  }

  void Send(const QByteArray& Packet) {
    ASSERT_TRUE(Comm.WriteCommData(reinterpret_cast<const quint8*>(Packet.constData()),
                                   quint16(Packet.size())));
  }

  // One request as the flashing job makes it: flags cleared, then wait for the reply's verdict.
  bool Request(const QByteArray& Packet, quint32 Address = 0) {
    Record.LastOperationSuccess = false;
    Record.LastOperationFailed = false;
    Record.CurrentAddress = Address;
    Send(Packet);
    return WaitUntil([&] { return Record.LastOperationSuccess || Record.LastOperationFailed; }) &&
           Record.LastOperationSuccess;
  }

  static QByteArray Image(int Size) {
    QByteArray image(Size, '\0');
    for (int i = 0; i < Size; ++i) image[i] = char((i * 37 + 11) % 256);
    return image;
  }

  TSimulatedPort Port{TSimulatedModule()};
  TRunRecord Record;
  QStringList Log;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Log << Line; }};
  TComm Comm;
};

TEST_F(ModuleOverSerial, SyncIsAcknowledgedAtTheToolsRate) {
  Open(576000);
  Send(SyncRequestTemplate);
  ASSERT_TRUE(WaitUntil([&] { return Record.RunState == StateBurn; }));
  EXPECT_EQ(Log.first(), "Note: RQ53 ACK success.");
  EXPECT_EQ(Port.LineRate(), 576000u);
  Comm.StopComm();
}

TEST_F(ModuleOverSerial, MACIsReadAndAnImageProgrammed) {
  Open(115200);
  for (const quint32 Address : MACRegisterAddresses)
    ASSERT_TRUE(Request(BuildReadRegRequest(Address), Address)) << std::hex << Address;
  EXPECT_EQ(Record.STAMACStr, "18:FE:34:12:34:59");

  const QByteArray image = Image(5000);
  ASSERT_TRUE(Request(BuildFlashBeginRequest(5000, 5, 0x1000)));
  for (quint32 block = 0; block < 5; ++block)
    ASSERT_TRUE(Request(BuildFlashDataRequest(image.mid(block * 1024, 1024), block)));
  Comm.StopComm();

  Port.WithModule(
      [&](TSimulatedModule& Module) { EXPECT_EQ(Module.Flash().mid(0x1000, 5000), image); });
  EXPECT_EQ(Log.count("Note: Program flash success."), 5);
}

TEST_F(ModuleOverSerial, RejectedBlockEndsTheWaitAsAFailure) {
  Port.WithModule([](TSimulatedModule& Module) {
    Module.Misbehaviour().Fail = {SimFlashData, 1};
    Module.Misbehaviour().FailCode = SimErrorInvalidMessage;
  });
  Open(576000);
  ASSERT_TRUE(Request(BuildFlashBeginRequest(1024, 1, 0)));
  EXPECT_FALSE(Request(BuildFlashDataRequest(Image(1024), 0)));
  EXPECT_TRUE(Record.LastOperationFailed);
  EXPECT_EQ(Log.last(), "Error: RQ53 rejected flash data (error 0x05).");
  Comm.StopComm();
}

}  // namespace
