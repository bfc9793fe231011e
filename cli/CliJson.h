#pragma once
// ferrule-cli's --json events: one object per line, each with its "event", its "time" (local,
// with the offset from UTC) and its "port" (null for the program's own events), and the fields of
// its kind; a field is there only where its value is known, so none is null first and set later.

#include "loader/RunOutcome.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What the program is about to flash: the first event's fields.
struct TCliStart {
  QString Firmware;
  std::vector<TFlashedRegion> Regions;  // the images as read, as every run's outcome gives them
  QStringList Ports;  // as given; none in a watch of every USB adapter
  bool Watch = false;
};

// An event of Port (empty: of the program) stamped now.
QJsonObject JsonEvent(const QString& Name, const QString& Port = QString());

// "start": version, firmware, sha256, offset, ports, watch.
QJsonObject JsonStart(const TCliStart& Start);

// "result": operation ("flash", "read", "erase", "verify", "info"), result, reason and reason_text (null for a done run), verified, path, loader_failure
// (null unless the loader program failed), stage (the last one reached), firmware, sha256 and
// offset (null before the image was taken), sta_mac and ap_mac (null before the MAC was read),
// picture (null without a record), chip_id ("C8 40 16") and chip_bytes (null unless the loader
// program told them), blocks, block_count and seconds.
QJsonObject JsonResult(const TRunOutcome& Outcome);

// The object as one line, with its line end.
QString JsonLine(const QJsonObject& Event);
