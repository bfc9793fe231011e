// rq53sim: a simulated RQ53 module on a pseudo-terminal. Prints the path of its port on the first
// line of standard output and serves the port until SIGINT or SIGTERM arrives or standard input
// closes. Point the tool (or a test) at the printed path instead of a USB-serial adapter.

#include "tools/rq53sim/SimulatedPort.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {

class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A number written in Base, or in hexadecimal after "0x"; What names it in the error.
qint64 ParseInteger(const QString& What, const QString& Text, int Base = 10) {
  const bool HexPrefix = Text.startsWith("0x", Qt::CaseInsensitive);
  bool Ok = false;
  const qint64 Value = Text.mid(HexPrefix ? 2 : 0).toLongLong(&Ok, HexPrefix ? 16 : Base);
  if (!Ok) throw EUsage(QString("%1 wants a number, not \"%2\"").arg(What, Text).toStdString());
  return Value;
}

qint64 Integer(const QCommandLineParser& Parser, const QString& Name) {
  return ParseInteger("--" + Name, Parser.value(Name));
}

quint32 Number(const QCommandLineParser& Parser, const QString& Name) {
  return quint32(Integer(Parser, Name));
}

int Count(const QCommandLineParser& Parser, const QString& Name) {
  return int(Integer(Parser, Name));
}

const char* CommandName(quint8 Command) {
  switch (Command) {
    case SimSync:
      return "SYNC";
    case SimReadReg:
      return "READ_REG";
    case SimFlashBegin:
      return "FLASH_BEGIN";
    case SimFlashData:
      return "FLASH_DATA";
    default:
      return "command";
  }
}

quint8 CommandCode(const QCommandLineParser& Parser, const QString& Name) {
  const QString Text = Parser.value(Name).toUpper();
  for (quint8 Code : {SimSync, SimReadReg, SimFlashBegin, SimFlashData})
    if (Text == CommandName(Code)) return Code;
  return quint8(Number(Parser, Name));
}

TSimRequestPick Pick(const QCommandLineParser& Parser, const QString& CountName,
                     const QString& CommandName) {
  TSimRequestPick Picked;
  if (Parser.isSet(CommandName)) Picked.Command = CommandCode(Parser, CommandName);
  if (Parser.isSet(CountName) || Parser.isSet(CommandName))
    Picked.Count = Parser.isSet(CountName) ? Count(Parser, CountName) : -1;
  return Picked;
}

void PrintRequest(const TSimRequest& Request) {
  QString Line = CommandName(Request.Command);
  if (Request.Command == SimReadReg && Request.Data.size() == 4) {
    QByteArray Address = Request.Data;
    std::reverse(Address.begin(), Address.end());  // little-endian on the line
    Line += " 0x" + Address.toHex().toUpper();
  }
  if (Request.Command == SimFlashData) Line += QString(" #%1").arg(Request.Sequence);
  Line += Request.Replied ? QString(" -> %1 %2")
                                .arg(Request.Status, 2, 16, QChar('0'))
                                .arg(Request.Error, 2, 16, QChar('0'))
                          : QString(" -> no reply");
  std::fprintf(stderr, "%s\n", qPrintable(Line));
}

void AddOptions(QCommandLineParser& Parser) {
  Parser.setApplicationDescription(
      "A simulated RQ53 module (ESP8266 boot ROM) on a pseudo-terminal.");
  Parser.addHelpOption();
  Parser.addOptions({
      {{"r", "rate"},
       "Line rate until the client sets its own (bit/s, default 115200).",
       "bps",
       "115200"},
      {"efuse", "The four eFuse words at 0x3FF00050..5C, hex, comma-separated.", "w0,w1,w2,w3"},
      {"flash-size", "Flash size in bytes (default 4 MiB).", "bytes", "4194304"},
      {"erase-ms", "Time to erase one 4 KiB sector (default 30).", "ms", "30"},
      {"write-ms", "Time to write one block (default 3).", "ms", "3"},
      {"extra-erase", "Sectors erased beyond those asked for (default 1).", "sectors", "1"},
      {"banner", "Send the reset banner before the first reply."},
      {"no-reply", "Leave this many requests unanswered (-1: all).", "n"},
      {"no-reply-command",
       "Leave only requests of this command unanswered (SYNC, READ_REG, FLASH_BEGIN, FLASH_DATA or "
       "a code).",
       "command"},
      {"fail", "Answer requests with a failure and this error code (default 5).", "code"},
      {"fail-count", "Fail this many requests (-1: all).", "n"},
      {"fail-command", "Fail only requests of this command.", "command"},
      {"split", "Send each reply in this many pieces.", "k", "1"},
      {"split-gap", "Pause between the pieces of a reply.", "ms", "0"},
      {"delay", "Pause before each reply.", "ms", "0"},
      {"garbage", "Bytes (hex) sent before each reply.", "hex"},
      {"dump", "Write the flash contents to this file on exit.", "file"},
      {"keep-running", "Do not stop when standard input closes."},
      {{"v", "verbose"}, "One line per request on standard error."},
  });
}

TSimulatedModule MakeModule(const QCommandLineParser& Parser) {
  TSimulatedModule Module(Number(Parser, "flash-size"));
  if (Parser.isSet("efuse")) {
    const QStringList Words = Parser.value("efuse").split(',');
    if (Words.size() != 4) throw EUsage("--efuse wants four words");
    std::array<quint32, 4> Values{};
    for (int i = 0; i < 4; ++i) Values[i] = quint32(ParseInteger("--efuse", Words[i], 16));
    Module.SetEfuseWords(Values);
  }
  Module.SetExtraEraseSectors(Number(Parser, "extra-erase"));
  Module.Timing() = TSimTiming{int(Number(Parser, "erase-ms")), int(Number(Parser, "write-ms"))};
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.NoReply = Pick(Parser, "no-reply", "no-reply-command");
  Bad.Fail = Pick(Parser, "fail-count", "fail-command");
  if (Parser.isSet("fail")) {
    Bad.FailCode = quint8(Number(Parser, "fail"));
    Bad.Fail.Count = Bad.Fail.Count == 0 ? -1 : Bad.Fail.Count;
  }
  Bad.SplitPieces = Count(Parser, "split");
  Bad.SplitGapMs = Count(Parser, "split-gap");
  Bad.ReplyDelayMs = Count(Parser, "delay");
  Bad.GarbageBeforeReply = QByteArray::fromHex(Parser.value("garbage").toLatin1());
  Bad.BannerBeforeFirstReply = Parser.isSet("banner");
  return Module;
}

// Waits for SIGINT or SIGTERM, or for the end of standard input unless told to ignore it.
void WaitForEnd(int Signals, bool WatchInput) {
  pollfd Fds[2] = {{Signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  for (;;) {
    if (::poll(Fds, WatchInput ? 2 : 1, -1) < 0) continue;
    if (Fds[0].revents) return;
    if (Fds[1].revents) {
      char Buffer[256];
      if (::read(STDIN_FILENO, Buffer, sizeof Buffer) <= 0) return;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  // Blocked before any thread exists (the simulator's included), so that only the signalfd sees
  // them.
  sigset_t Ending;
  sigemptyset(&Ending);
  sigaddset(&Ending, SIGINT);
  sigaddset(&Ending, SIGTERM);
  sigprocmask(SIG_BLOCK, &Ending, nullptr);
  const int Signals = signalfd(-1, &Ending, SFD_CLOEXEC);
  QCoreApplication App(argc, argv);
  QCommandLineParser Parser;
  AddOptions(Parser);
  Parser.process(App);
  try {
    const bool Verbose = Parser.isSet("verbose");
    TSimulatedPort Port(MakeModule(Parser), Number(Parser, "rate"),
                        Verbose ? TSimulatedPort::TRequestEvent(PrintRequest) : nullptr);
    std::printf("%s\n", qPrintable(Port.SlavePath()));
    std::fflush(stdout);
    WaitForEnd(Signals, !Parser.isSet("keep-running"));
    Port.Stop();
    if (Parser.isSet("dump")) {
      QFile Dump(Parser.value("dump"));
      if (!Dump.open(QIODevice::WriteOnly))
        throw std::runtime_error("Cannot write " + Parser.value("dump").toStdString());
      Port.WithModule([&](TSimulatedModule& Module) { Dump.write(Module.Flash()); });
    }
  } catch (const EUsage& Error) {
    std::fprintf(stderr, "rq53sim: %s\n", Error.what());
    return 2;
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "rq53sim: %s\n", Error.what());
    return 1;
  }
  return 0;
}
