// Requests built by the codec leave through TComm, cross a pseudo-terminal paced like a real line
// to the simulated module, and its answers come back through the reader thread to the reply
// recognition on this thread.

#include "loader/DeviceIdentity.h"
#include "loader/LoaderCodec.h"
#include "loader/ReplyRecognition.h"
#include "serial/SPComm.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QStringList>

#include <algorithm>

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

  // One request as the flashing job makes it: sent, then its reply waited for (the events of
  // this thread run meanwhile, delivering the bytes).
  std::optional<TReplyFrame> Request(const QByteArray& Packet) {
    Send(Packet);
    std::optional<TReplyFrame> Reply;
    WaitUntil([&] { return (Reply = Record.Replies.Next(0)).has_value(); });
    return Reply;
  }

  static QByteArray Image(int Size) {
    QByteArray image(Size, '\0');
    for (int i = 0; i < Size; ++i) image[i] = char((i * 37 + 11) % 256);
    return image;
  }

  TSimulatedPort Port{TSimulatedModule()};
  TRunRecord Record;  // the handshake first
  QStringList Log;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Log << Line; }};
  TComm Comm;
};

TEST_F(ModuleOverSerial, SyncIsAcknowledgedAtTheToolsRate) {
  Open(576000);
  Record.RunState = StateHandshake;
  Send(SyncRequestTemplate);
  ASSERT_TRUE(WaitUntil([&] { return Record.RunState == StateJobRunning; }));
  EXPECT_EQ(Log.first(), "Note: RQ53 ACK success.");
  EXPECT_EQ(Port.LineRate(), 576000u);
  Comm.StopComm();
}

TEST_F(ModuleOverSerial, MACIsReadAndAnImageProgrammed) {
  Open(115200);
  Record.RunState = StateJobRunning;
  std::array<quint32, 4> Words{};
  for (std::size_t i = 0; i < Words.size(); ++i) {
    const std::optional<TReplyFrame> Reply = Request(BuildReadRegRequest(MACRegisterAddresses[i]));
    ASSERT_TRUE(Reply && Reply->Success()) << i;
    Words[i] = Reply->Value;
  }
  EXPECT_EQ(DeriveModuleMAC(Words).Station, "18:FE:34:12:34:59");

  const QByteArray image = Image(5000);
  ASSERT_TRUE(Request(BuildFlashBeginRequest(5000, 5, 0x1000))->Success());
  for (quint32 block = 0; block < 5; ++block)
    ASSERT_TRUE(Request(BuildFlashDataRequest(image.mid(block * 1024, 1024), block))->Success());
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
  Record.RunState = StateJobRunning;
  ASSERT_TRUE(Request(BuildFlashBeginRequest(1024, 1, 0))->Success());
  const std::optional<TReplyFrame> Refused = Request(BuildFlashDataRequest(Image(1024), 0));
  ASSERT_TRUE(Refused.has_value());
  EXPECT_FALSE(Refused->Success());
  EXPECT_EQ(Log.last(), "Error: RQ53 rejected flash data (error 0x05).");
  Comm.StopComm();
}

// A block refused for its checksum uses up its sequence number, and the module keeps the error
// code in the second status byte of its later successes (00 07 C0: no 00 C0 in the reply).
TEST_F(ModuleOverSerial, SuccessesAfterARefusalStillCount) {
  Open(576000);
  Record.RunState = StateJobRunning;
  ASSERT_TRUE(Request(BuildFlashBeginRequest(1024, 1, 0x2000))->Success());
  const QByteArray Block(1024, '\x11');
  QByteArray Damaged = BuildFlashDataRequest(Block, 0);
  Damaged[Damaged.size() - 2] = '\x12';  // a block byte: the checksum no longer fits
  const std::optional<TReplyFrame> Checksum = Request(Damaged);
  ASSERT_TRUE(Checksum.has_value());
  EXPECT_EQ(Checksum->Status, 1);
  EXPECT_EQ(Checksum->Error, SimErrorBadChecksum);
  const std::optional<TReplyFrame> Used = Request(BuildFlashDataRequest(Block, 0));
  ASSERT_TRUE(Used.has_value());
  EXPECT_EQ(Used->Error, SimErrorInvalidMessage);
  const std::optional<TReplyFrame> Written = Request(BuildFlashDataRequest(Block, 1));
  ASSERT_TRUE(Written.has_value());
  EXPECT_TRUE(Written->Success());
  EXPECT_EQ(Written->Error, SimErrorInvalidMessage);  // the error code kept
  Comm.StopComm();
  EXPECT_EQ(Log.mid(1), (QStringList{"Error: RQ53 rejected flash data (error 0x07).",
                                     "Error: RQ53 rejected flash data (error 0x05).",
                                     "Note: Program flash success."}));
  Port.WithModule([&](TSimulatedModule& Module) {
    EXPECT_EQ(Module.Flash().mid(0x2000, 1025), Block + '\xFF');
    EXPECT_EQ(Module.Requests().back().Error, SimErrorInvalidMessage);
  });
}

// Console text ahead of the handshake's reply never piles up in the receive buffer.
TEST_F(ModuleOverSerial, ConsoleTextBeforeTheHandshakeIsDropped) {
  Open(576000);
  qsizetype Largest = 0;
  Comm.OnReceiveData = [&](QObject* Sender, const quint8* Buffer, quint16 Length) {
    Recognizer.CommReceiveData(Sender, Buffer, Length);
    Largest = std::max(Largest, Recognizer.HeldBytes());
  };
  Record.RunState = StateHandshake;
  Port.SendConsoleText(20000);
  Send(SyncRequestTemplate);
  ASSERT_TRUE(WaitUntil([&] { return Record.RunState == StateJobRunning; }));
  EXPECT_LE(Largest, MaxReplyFrameBytes);
  EXPECT_EQ(Log, QStringList{"Note: RQ53 ACK success."});
  Comm.StopComm();
}

// The adapter is pulled right after the module answered: the answer is recognised first, then
// the serial component reports the hang-up.
TEST_F(ModuleOverSerial, AnAnswerBeforeThePulledAdapterIsNotLost) {
  Port.WithModule([](TSimulatedModule& Module) { Module.Misbehaviour().Unplug = {SimReadReg, 1}; });
  Open(115200);
  int Hangups = 0;
  bool AnsweredFirst = false;
  Record.RunState = StateJobRunning;
  std::optional<TReplyFrame> Answer;
  Comm.OnRequestHangup = [&](QObject*) {
    AnsweredFirst = Hangups++ == 0 && (Answer = Record.Replies.Next(0)).has_value();
  };
  Send(BuildReadRegRequest(MACRegisterAddresses[0]));
  ASSERT_TRUE(WaitUntil([&] { return Hangups > 0; }));
  ASSERT_TRUE(Answer.has_value());
  EXPECT_EQ(Answer->Value, 0x59A30000u);
  EXPECT_TRUE(AnsweredFirst);
  EXPECT_TRUE(Port.Unplugged());
  Comm.StopComm();
}

}  // namespace
