// rq53sim: a simulated RQ53 module on a pseudo-terminal. Prints the path of its port on the first
// line of standard output and serves the port until SIGINT or SIGTERM arrives. Point the tool (or
// a test) at the printed path instead of a USB-serial adapter. It leaves standard input alone (a
// shell's background job that read it would be stopped), unless --stdin asks for its lines, which
// act on the module at once: "reset" (the reset banner goes out), "console N" (N bytes of console
// text go out) and "unplug" (the adapter is pulled); it then also stops when standard input
// closes.

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
    case SimMemBegin:
      return "MEM_BEGIN";
    case SimMemData:
      return "MEM_DATA";
    case SimMemEnd:
      return "MEM_END";
    case SimLoaderPing:
      return "PING";
    case SimLoaderBegin:
      return "BEGIN";
    case SimLoaderData:
      return "DATA";
    case SimLoaderFinish:
      return "FINISH";
    case SimLoaderRate:
      return "RATE";
    case SimLoaderChipId:
      return "CHIP_ID";
    case SimLoaderDigest:
      return "DIGEST";
    case SimLoaderRead:
      return "READ";
    case SimLoaderErase:
      return "ERASE";
    case SimLoaderEraseChip:
      return "ERASE_CHIP";
    default:
      return "command";
  }
}

quint8 CommandCode(const QCommandLineParser& Parser, const QString& Name) {
  const QString Text = Parser.value(Name).toUpper();
  for (quint8 Code : std::initializer_list<quint8>{
           SimSync, SimReadReg, SimFlashBegin, SimFlashData, SimMemBegin, SimMemData, SimMemEnd,
           SimLoaderPing, SimLoaderBegin, SimLoaderData, SimLoaderFinish, SimLoaderRate,
           SimLoaderChipId, SimLoaderDigest, SimLoaderRead, SimLoaderErase, SimLoaderEraseChip})
    if (Text == CommandName(Code)) return Code;
  return quint8(Number(Parser, Name));
}

// The requests picked by the options CountName (if any), Name-command and Name-after; without a
// count, every request after the skipped ones is picked.
TSimRequestPick Pick(const QCommandLineParser& Parser, const QString& CountName,
                     const QString& Name) {
  TSimRequestPick Picked;
  const QString CommandOption = Name + "-command", AfterOption = Name + "-after";
  const bool Counted = !CountName.isEmpty() && Parser.isSet(CountName);
  if (Parser.isSet(CommandOption)) Picked.Command = CommandCode(Parser, CommandOption);
  if (Parser.isSet(AfterOption)) Picked.Skip = Count(Parser, AfterOption);
  if (Counted || Parser.isSet(CommandOption) || Parser.isSet(AfterOption))
    Picked.Count = Counted ? Count(Parser, CountName) : -1;
  return Picked;
}

void PrintRequest(const TSimRequest& Request) {
  QString Line = Request.Short ? QString("short frame") : QString(CommandName(Request.Command));
  if (Line == "command") Line += QString(" 0x%1").arg(Request.Command, 2, 16, QChar('0'));
  if (Request.Command == SimReadReg && Request.Data.size() == 4) {
    QByteArray Address = Request.Data;
    std::reverse(Address.begin(), Address.end());  // little-endian on the line
    Line += " 0x" + Address.toHex().toUpper();
  }
  for (quint8 Numbered : std::initializer_list<quint8>{SimFlashData, SimMemData, SimLoaderData})
    if (Request.Command == Numbered) Line += QString(" #%1").arg(Request.Sequence);
  Line += Request.Replied ? QString(" -> %1 %2")
                                .arg(Request.Status, 2, 16, QChar('0'))
                                .arg(Request.Error, 2, 16, QChar('0'))
                          : QString(" -> no reply");
  std::fprintf(stderr, "%s\n", qPrintable(Line));
}

void AddOptions(QCommandLineParser& Parser) {
  const TSimTiming Timing;
  Parser.setApplicationDescription(
      "A simulated RQ53 module (ESP8266 boot ROM) on a pseudo-terminal: prints the port's path,\n"
      "then serves it until Ctrl-C or SIGTERM (e.g. rq53sim -v &, then kill %1).\n"
      "Each module's MAC comes from its eFuse words: the first word's top byte is the MAC's last\n"
      "byte, the second word's low 16 bits the two bytes before it, after 18:FE:34. The default,\n"
      "59A30000,1234,0,0, is 18:FE:34:12:34:59; --efuse 56400000,1234,0,0 gives\n"
      "18:FE:34:12:34:56, so several modules at once each get one of their own.");
  Parser.addHelpOption();
  Parser.addOptions({
      {{"r", "rate"},
       "Line rate until the client sets its own (bit/s, default 115200).",
       "bps",
       "115200"},
      {"efuse", "The four eFuse words at 0x3FF00050..5C, hex, comma-separated.", "w0,w1,w2,w3"},
      {"flash-size",
       "Flash size in bytes (default 4 MiB); the chip's ID tells it (C8 40 16 for 4 MiB, C8 40 14 "
       "for 1 MiB).",
       "bytes", "4194304"},
      {"erase-ms",
       QString("Time to erase one 4 KiB sector (default %1).").arg(Timing.EraseMsPerSector), "ms"},
      {"block-erase-ms",
       QString("Time to erase one 64 KiB block (default %1).").arg(Timing.EraseMsPerBlock), "ms"},
      {"page-ms",
       QString("Time to program one 256-byte page (default %1).").arg(Timing.PageMs), "ms"},
      {"digest-ms",
       QString("Time to read back and digest 64 KiB (default %1).").arg(Timing.DigestMsPer64KiB),
       "ms"},
      {"worst-case", "A chip that takes the longest its data sheet allows (400, 2000, 3 ms)."},
      {"quick", "A fast chip (6, 24, 0.75 ms), for tests that are not about the chip's speed."},
      {"loader-silent", "A program started with MEM_END never answers."},
      {"loader-silent-after-rate", "The loader program answers nothing after a rate change."},
      {"refuse-upload", "Every MEM_BEGIN fails: the boot ROM loads no program."},
      {"history",
       QString("Requests the module remembers (default %1).")
           .arg(TSimulatedModule::DefaultRequestHistory),
       "n", QString::number(TSimulatedModule::DefaultRequestHistory)},
      {"banner", "Send the reset banner before the first reply."},
      {"console", "Send this many bytes of console text as soon as the port is served.", "bytes"},
      {"no-reply", "Leave this many requests unanswered (-1: all).", "n"},
      {"no-reply-command",
       "Leave only requests of this command unanswered (SYNC, READ_REG, FLASH_BEGIN, FLASH_DATA, "
       "MEM_BEGIN, MEM_DATA, MEM_END, the loader program's PING, BEGIN, DATA, FINISH, RATE, or a "
       "code).",
       "command"},
      {"no-reply-after", "Answer this many of those requests before leaving them unanswered.", "k"},
      {"fail", "Answer requests with a failure and this error code (default 5).", "code"},
      {"fail-count", "Fail this many requests (-1: all).", "n"},
      {"fail-command", "Fail only requests of this command.", "command"},
      {"fail-after", "Carry out this many of those requests before failing them.", "k"},
      {"unplug-after", "Pull the adapter after answering the request after this many.", "k"},
      {"unplug-command", "Pull the adapter after a request of this command only.", "command"},
      {"reply-rate", "Send replies at this rate, so that they arrive as garbage.", "bps"},
      {"max-rate", "The loader program hears and sends nothing above this rate.", "bps"},
      {"split", "Send each reply in this many pieces.", "k", "1"},
      {"split-gap", "Pause between the pieces of a reply.", "ms", "0"},
      {"delay", "Pause before each reply.", "ms", "0"},
      {"garbage", "Bytes (hex) sent before each reply.", "hex"},
      {"dump", "Write the flash contents to this file on exit.", "file"},
      {"flash", "The flash's contents at the start, from this file (the rest erased).", "file"},
      {"stdin",
       "Read commands from standard input (reset, console N, unplug) and stop when it closes."},
      {"keep-running", "With --stdin: do not stop when standard input closes."},
      {{"v", "verbose"}, "One line per request on standard error."},
  });
}

// The chip's times: typical, worst-case or quick, each time changed where an option asks.
TSimTiming ChipTiming(const QCommandLineParser& Parser) {
  TSimTiming Timing = Parser.isSet("worst-case") ? TSimTiming::WorstCase()
                      : Parser.isSet("quick")    ? TSimTiming::Quick()
                                                 : TSimTiming();
  auto Take = [&](const char* Name, int& Field) {
    if (Parser.isSet(Name)) Field = int(Number(Parser, Name));
  };
  Take("erase-ms", Timing.EraseMsPerSector);
  Take("block-erase-ms", Timing.EraseMsPerBlock);
  Take("digest-ms", Timing.DigestMsPer64KiB);
  if (Parser.isSet("page-ms")) Timing.PageMs = Parser.value("page-ms").toDouble();
  return Timing;
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
  Module.Timing() = ChipTiming(Parser);
  Module.SetRequestHistory(Number(Parser, "history"));
  if (Parser.isSet("flash")) {
    QFile Contents(Parser.value("flash"));
    if (!Contents.open(QIODevice::ReadOnly)) throw EUsage("cannot read --flash");
    Module.PresetFlash(0, Contents.readAll());
  }
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.NoReply = Pick(Parser, "no-reply", "no-reply");
  Bad.Fail = Pick(Parser, "fail-count", "fail");
  Bad.Unplug = Pick(Parser, QString(), "unplug");
  if (Parser.isSet("reply-rate")) Bad.ReplyRate = Number(Parser, "reply-rate");
  if (Parser.isSet("max-rate")) Bad.MaxLoaderRate = Number(Parser, "max-rate");
  if (Parser.isSet("fail")) {
    Bad.FailCode = quint8(Number(Parser, "fail"));
    Bad.Fail.Count = Bad.Fail.Count == 0 ? -1 : Bad.Fail.Count;
  }
  Bad.SplitPieces = Count(Parser, "split");
  Bad.SplitGapMs = Count(Parser, "split-gap");
  Bad.ReplyDelayMs = Count(Parser, "delay");
  Bad.GarbageBeforeReply = QByteArray::fromHex(Parser.value("garbage").toLatin1());
  Bad.BannerBeforeFirstReply = Parser.isSet("banner");
  Bad.LoaderSilent = Parser.isSet("loader-silent");
  Bad.LoaderSilentAfterRate = Parser.isSet("loader-silent-after-rate");
  Bad.RefuseUpload = Parser.isSet("refuse-upload");
  return Module;
}

// One line of standard input.
void Command(TSimulatedPort& Port, const QByteArray& Line) {
  const QList<QByteArray> Words = Line.simplified().split(' ');
  bool Ok = Words.size() == 2;
  if (Words == QList<QByteArray>{"reset"})
    Port.Reset();
  else if (Words == QList<QByteArray>{"unplug"})
    Port.Unplug();
  else if (Ok && Words[0] == "console" && Words[1].toLongLong(&Ok) >= 0 && Ok)
    Port.SendConsoleText(Words[1].toLongLong());
  else if (!Line.simplified().isEmpty())
    std::fprintf(stderr, "rq53sim: unknown command \"%s\"\n", Line.simplified().constData());
}

// Waits for SIGINT or SIGTERM. With ReadInput it carries out the commands that come on standard
// input meanwhile and, with StopAtEnd, also ends when standard input closes.
void Serve(TSimulatedPort& Port, int Signals, bool ReadInput, bool StopAtEnd) {
  pollfd Fds[2] = {{Signals, POLLIN, 0}, {ReadInput ? STDIN_FILENO : -1, POLLIN, 0}};
  QByteArray Input;
  for (;;) {
    if (::poll(Fds, 2, -1) < 0) continue;
    if (Fds[0].revents) return;
    if (!Fds[1].revents) continue;
    char Buffer[256];
    const ssize_t Count = ::read(STDIN_FILENO, Buffer, sizeof Buffer);
    if (Count <= 0) {
      if (StopAtEnd) return;
      Fds[1].fd = -1;  // closed: signals only from now on
      continue;
    }
    Input.append(Buffer, Count);
    for (qsizetype End; (End = Input.indexOf('\n')) >= 0; Input.remove(0, End + 1))
      Command(Port, Input.left(End));
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
    if (Parser.isSet("console")) Port.SendConsoleText(Integer(Parser, "console"));
    Serve(Port, Signals, Parser.isSet("stdin"), !Parser.isSet("keep-running"));
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
