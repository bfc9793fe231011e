#pragma once
// Recognises the module's replies in the bytes the serial port delivers. While the station
// handshakes it looks for the boot ROM's answer to SYNC; while the worker runs, every reply goes
// to the run's channel, in the order it came. The boot ROM's replies to flashing requests are
// logged as they come ("Note: Program flash success.", a refusal with its code). Runs on the
// station's thread only, one delivery at a time.

#include "loader/LogSink.h"
#include "loader/RunRecord.h"

#include <QByteArray>
#include <QObject>

class TReplyRecognizer {
 public:
  TReplyRecognizer(TRunRecord& Record, TLogSink Log);

  // The serial component's receive callback (Sender is unused). The delivery is added to the bytes
  // not yet examined and every complete reply frame in them is taken; what stays is at most the
  // start of a reply still arriving.
  void CommReceiveData(QObject* Sender, const quint8* Buffer, quint16 BufferLength);
  // A new run: bytes of the last one are forgotten.
  void Clear() { ReceivedBytes.clear(); }
  qsizetype HeldBytes() const { return ReceivedBytes.size(); }

 private:
  void LogRomReply(const TReplyFrame& Reply);

  TRunRecord& Record;
  TLogSink Log;
  QByteArray ReceivedBytes;  // received, not yet part of a complete frame
};
