#include "loader/ResultsLog.h"

#include "loader/DeviceIdentity.h"

#include <QRegularExpression>
#include <QSysInfo>

#include <cstdlib>

namespace {

QString CsvField(const QString& Text) {
  static const QRegularExpression Special(QStringLiteral("[\",\r\n]"));
  if (!Text.contains(Special)) return Text;
  return u'"' + QString(Text).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString Hex(quint32 Value) {
  return QStringLiteral("0x") + QStringLiteral("%1").arg(Value, 8, 16, QChar(u'0')).toUpper();
}

}  // namespace

const QStringList ResultsLogColumns{
    "time",    "host",    "version",  "port",           "firmware", "image_sha256",
    "offset",  "sta_mac", "ap_mac",   "result",         "verified", "path",
    "loader_failure", "reason", "reason_text", "seconds", "picture"};

QString ToolVersion() { return QStringLiteral(FERRULE_VERSION); }

QString TimeWithOffset(const QDateTime& Time, bool Milliseconds) {
  const QDateTime Local = Time.toLocalTime();
  const int Minutes = std::abs(Local.offsetFromUtc()) / 60;
  return Local.toString(Milliseconds ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")
                                     : QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
         (Local.offsetFromUtc() < 0 ? u'-' : u'+') +
         QStringLiteral("%1:%2").arg(Minutes / 60, 2, 10, QChar(u'0')).arg(Minutes % 60, 2, 10, QChar(u'0'));
}

bool IsLoggedRun(const TRunOutcome& Outcome) {
  if (Outcome.Reason == TRunReason::NoPort || Outcome.Reason == TRunReason::PortNotOpened)
    return false;
  return ModuleAnswered(Outcome) || Outcome.Result == TRunResult::Failed;
}

// The hashes and offsets mean something only once the images were taken; several images' are
// joined by "+", in the order of the firmware's names.
QString ResultsLogRow(const TRunOutcome& Outcome, const QDateTime& Finished, const QString& Host) {
  QStringList Hashes, Offsets;
  for (const TFlashedRegion& Region : Outcome.Regions) {
    Hashes << QString::fromLatin1(Region.Sha256.toHex());
    Offsets << Hex(Region.Offset);
  }
  const QStringList Fields{TimeWithOffset(Finished),
                           Host,
                           ToolVersion(),
                           Outcome.Port,
                           Outcome.Firmware,
                           Hashes.join(u'+'),
                           Offsets.join(u'+'),
                           Outcome.StationMAC,
                           Outcome.AccessPointMAC,
                           ResultName(Outcome.Result),
                           Outcome.Verified ? QStringLiteral("true") : QStringLiteral("false"),
                           PathName(Outcome.Path),
                           Outcome.LoaderFailure,
                           ReasonCode(Outcome.Reason),
                           Outcome.ReasonText,
                           QString::number(Outcome.Seconds, 'f', 3),
                           Outcome.PictureFile};
  QStringList Row;
  for (const QString& Field : Fields) Row << CsvField(Field);
  return Row.join(u',');
}

void AppendResultsLog(const QString& FileName, const TRunOutcome& Outcome,
                      const QDateTime& Finished) {
  AppendLineToFile(ResultsLogRow(Outcome, Finished, QSysInfo::machineHostName()), FileName,
                   ResultsLogColumns.join(u','));
}
