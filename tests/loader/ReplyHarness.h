#pragma once
// A run record with a recognizer bound to it the way a station binds the serial component's
// receive callback.

#include "loader/ReplyRecognition.h"
#include "loader/RunRecord.h"
#include "tests/loader/QStringPrinting.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

class TReplyHarness {
 public:
  TRunRecord Record;
  QStringList Log;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Log << Line; }};
  std::function<void(QObject*, const quint8*, quint16)> OnReceiveData =
      std::bind_front(&TReplyRecognizer::CommReceiveData, &Recognizer);

  void Deliver(const QByteArray& Bytes) {
    OnReceiveData(nullptr, reinterpret_cast<const quint8*>(Bytes.constData()),
                  static_cast<quint16>(Bytes.size()));
  }

  // The frames the worker would take, as "command value status error" in hex.
  QStringList Taken() {
    QStringList Frames;
    while (const std::optional<TReplyFrame> Frame = Record.Replies.Next(0))
      Frames << QString::asprintf("%02X %08X %02X %02X", Frame->Command, Frame->Value,
                                  Frame->Status, Frame->Error);
    return Frames;
  }

  static QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }
};
