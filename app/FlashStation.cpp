#include "app/FlashStation.h"

#include "loader/DeviceIdentity.h"
#include "loader/ResultsLog.h"
#include "serial/SPComm.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

#include <utility>

namespace {

// How long the reply recognition's lines wait before they are logged, at most.
constexpr int LogHoldMs = 20;

QTimer* NamedTimer(QObject* Parent, const char* Name, int Interval) {
  auto* Timer = new QTimer(Parent);
  Timer->setObjectName(QString::fromLatin1(Name));
  Timer->setInterval(Interval);
  return Timer;
}

}  // namespace

TFlashStation::TFlashStation(TFlashRunView& View, std::function<QString()> ConfigDir, TGuard Guard,
                             QObject* Parent)
    : QObject(Parent),
      View(View),
      ConfigDir(std::move(ConfigDir)),
      Guard(std::move(Guard)),
      Recognizer(FRecord, [this](const QString& Line) { HeldLines << Line; }),
      TimerLogHeldLines(NamedTimer(this, "TimerLogHeldLines", LogHoldMs)),
      FTimerStateMachine(NamedTimer(this, "TimerStateMachine", 50)),
      FComm(new TComm(this)) {
  TimerLogHeldLines->setSingleShot(true);
  connect(TimerLogHeldLines, &QTimer::timeout, this, [this] { LogHeldLines(); });
  connect(FTimerStateMachine, &QTimer::timeout, this,
          [this] { this->Guard([this] { TimerStateMachineTimer(); }); });
  FComm->OnReceiveData = [this](QObject* Sender, const quint8* Buffer, quint16 Length) {
    this->Guard([&] { CommReceiveData(Sender, Buffer, Length); });
  };
  FComm->OnRequestHangup = [this](QObject*) {
    this->Guard([this] { FRunControl->CommRequestHangup(); });
  };
  TFlashRunView& RunView = *this;
  FRunControl = std::make_unique<TFlashRunControl>(
      *FComm, FRecord, RunView, *FTimerStateMachine, this,
      [this](const TModuleMAC& MAC) { return ShowDeviceIdentity(MAC); });
}

TFlashStation::~TFlashStation() { Shutdown(); }

void TFlashStation::Close() {
  FRecord.RunState = StateFinished;
  FRecord.Replies.Stop();
  FTimerStateMachine->stop();
}

// The worker may be waiting for a step on this thread: it is run to its end before the port goes.
void TFlashStation::Shutdown() {
  Close();
  if (FRunControl) FRunControl->StopWorker();
  FComm->StopComm();
}

void TFlashStation::ActionBurnExecute(TBurnSender Sender) {
  if (!FComm->PortOpen()) Recognizer.Clear();
  FRunControl->ActionBurnExecute(Sender);
}

void TFlashStation::TimerStateMachineTimer() { FRunControl->TimerStateMachineTimer(); }

// A waiting worker is woken at once. The lines of the delivery are held back a little: appending
// to the log takes longer than the worker needs to send its next request, and would compete with
// it and the serial threads for the processors. When the module has answered the handshake, the
// tick that starts the worker runs at once rather than up to 50 ms later.
void TFlashStation::CommReceiveData(QObject* Sender, const quint8* Buffer, quint16 BufferLength) {
  FRunControl->NoteReceived(BufferLength);
  const TRunState Before = FRecord.RunState;
  Recognizer.CommReceiveData(Sender, Buffer, BufferLength);
  if (Before == StateHandshake && FRecord.RunState == StateJobRunning)
    QTimer::singleShot(0, this, [this] { Guard([this] { TimerStateMachineTimer(); }); });
  if (!HeldLines.isEmpty() && !TimerLogHeldLines->isActive()) TimerLogHeldLines->start();
}

// The held lines of the reply recognition go to the log before any other line or status
// picture, so the log keeps the order in which things happened.
void TFlashStation::LogHeldLines() {
  if (HeldLines.isEmpty()) return;
  View.Log(HeldLines.join(u'\n'));
  HeldLines.clear();
}

void TFlashStation::Log(const QString& Line) {
  LogHeldLines();
  View.Log(Line);
}

void TFlashStation::ShowStatus(TRunStatus Status) {
  LogHeldLines();
  View.ShowStatus(Status);
}

QString TFlashStation::ShowDeviceIdentity(const TModuleMAC& MAC) {
  ShowQRCode(IdentityQRText(MAC.AccessPoint, MAC.Station));
  View.ShowMACTexts(MAC.AccessPoint, MAC.Station);
  return QFileInfo(RecordDeviceIdentity(ConfigDir(), MAC.AccessPoint, MAC.Station, FQRCodePicture,
                                        QDateTime::currentDateTime()))
      .fileName();
}

void TFlashStation::ShowStage(TRunStage Stage) {
  LogHeldLines();
  View.ShowStage(Stage);
}

// The run's last lines and its row in the results log come before its outcome reaches the view.
void TFlashStation::RunFinished(const TRunOutcome& Outcome) {
  LogHeldLines();
  FLastOutcome = Outcome;
  ++FFinishedRuns;
  AppendResultsRow(Outcome);
  View.RunFinished(Outcome);
}

QString TFlashStation::ResultsFile() const {
  return FResultsFile.isEmpty() ? ConfigDir() + QStringLiteral("runs.csv") : FResultsFile;
}

void TFlashStation::AppendResultsRow(const TRunOutcome& Outcome) {
  FResultsLogError.clear();
  if (!IsLoggedRun(Outcome)) return;
  try {
    AppendResultsLog(ResultsFile(), Outcome, QDateTime::currentDateTime());
  } catch (const EIdentityFileError& Error) {
    FResultsLogError = QString::fromUtf8(Error.what());
    View.Log(QStringLiteral("Error: ") + FResultsLogError);
  }
}

void TFlashStation::ShowQRCode(const QString& Text) {
  FQRCodePicture = EncodeQRCode(Text);
  View.ShowQRPicture(FQRCodePicture);
}
