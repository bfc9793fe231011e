#include "cli/CliJson.h"

#include "loader/OnChipCodec.h"
#include "loader/ResultsLog.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonValue TextOrNull(const QString& Text) {
  return Text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Text);
}

QJsonValue HashOrNull(const QByteArray& Hash) {
  return TextOrNull(QString::fromLatin1(Hash.toHex()));
}

}  // namespace

QJsonObject JsonEvent(const QString& Name, const QString& Port) {
  return {{"event", Name},
          {"time", TimeWithOffset(QDateTime::currentDateTime(), true)},
          {"port", TextOrNull(Port)}};
}

// Every image with its offset and hash; the one image's also as "sha256" and "offset" (null with
// none or several).
void InsertImages(QJsonObject& Event, const std::vector<TFlashedRegion>& Regions) {
  QJsonArray Images;
  for (const TFlashedRegion& Region : Regions)
    Images.append(QJsonObject{{"name", Region.Name},
                              {"offset", qint64(Region.Offset)},
                              {"sha256", HashOrNull(Region.Sha256)}});
  Event.insert("images", Images);
  const bool One = Regions.size() == 1;
  Event.insert("sha256", One ? HashOrNull(Regions.front().Sha256) : QJsonValue());
  Event.insert("offset", One ? QJsonValue(qint64(Regions.front().Offset)) : QJsonValue());
}

QJsonObject JsonStart(const TCliStart& Start) {
  QJsonObject Event = JsonEvent(QStringLiteral("start"));
  Event.insert("version", ToolVersion());
  Event.insert("firmware", Start.Firmware);
  InsertImages(Event, Start.Regions);
  Event.insert("ports", QJsonArray::fromStringList(Start.Ports));
  Event.insert("watch", Start.Watch);
  return Event;
}

QJsonObject JsonResult(const TRunOutcome& Outcome) {
  QJsonObject Event = JsonEvent(QStringLiteral("result"), Outcome.Port);
  Event.insert("operation", OperationName(Outcome.Operation));
  Event.insert("result", ResultName(Outcome.Result));
  Event.insert("reason", TextOrNull(ReasonCode(Outcome.Reason)));
  Event.insert("reason_text", TextOrNull(Outcome.ReasonText));
  Event.insert("verified", Outcome.Verified);
  Event.insert("path", PathName(Outcome.Path));
  Event.insert("loader_failure", TextOrNull(Outcome.LoaderFailure));
  Event.insert("rate", Outcome.LineRate ? QJsonValue(qint64(Outcome.LineRate)) : QJsonValue());
  Event.insert("rate_warning", TextOrNull(Outcome.RateWarning));
  Event.insert("stage", StageName(Outcome.Reached));
  Event.insert("firmware", Outcome.Firmware);
  InsertImages(Event, Outcome.Regions);
  Event.insert("sta_mac", TextOrNull(Outcome.StationMAC));
  Event.insert("ap_mac", TextOrNull(Outcome.AccessPointMAC));
  Event.insert("picture", TextOrNull(Outcome.PictureFile));
  const std::optional<quint64> Chip = ChipBytes(Outcome.ChipId);
  Event.insert("chip_id", Chip ? QJsonValue(ChipIdText(Outcome.ChipId)) : QJsonValue());
  Event.insert("chip_bytes", Chip ? QJsonValue(qint64(*Chip)) : QJsonValue());
  Event.insert("blocks", Outcome.BlocksWritten);
  Event.insert("block_count", Outcome.BlockCount);
  Event.insert("seconds", Outcome.Seconds);
  return Event;
}

QString JsonLine(const QJsonObject& Event) {
  return QString::fromUtf8(QJsonDocument(Event).toJson(QJsonDocument::Compact)) + u'\n';
}
