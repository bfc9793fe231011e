#pragma once
// Recognises the boot ROM's replies in the bytes the serial port delivers and reports
// them in the run record: RunState for the SYNC acknowledgement, LastOperationSuccess or
// LastOperationFailed for the reply the flashing job waits on. READ_REG values of the
// eFuse MAC words are stored, and the MAC address is derived when the last one arrives.
// Runs on the UI thread only, one delivery at a time.

#include "app/LogSink.h"
#include "app/RunRecord.h"

#include <QByteArray>
#include <QObject>

#include <array>

// The eFuse words that hold the MAC address, in the order they are read.
inline constexpr std::array<quint32, 4> MACRegisterAddresses{0x3FF00050, 0x3FF00054, 0x3FF00058,
                                                             0x3FF0005C};

class TReplyRecognizer {
 public:
  TReplyRecognizer(TRunRecord& Record, TLogSink Log);

  // The serial component's receive callback. Bytes are gathered in SerailBufferA until a
  // reply can be judged; then the buffer is examined and emptied, except for a reply
  // that has begun but not yet ended, which waits there for the rest. Sender is unused.
  void CommReceiveData(QObject* Sender, const quint8* Buffer, quint16 BufferLength);

  // Stores the value of the first complete READ_REG reply in Data according to the run
  // record's CurrentAddress. A reply not yet complete changes nothing.
  void ParseRegisterReply(const QByteArray& Data);

 private:
  struct TReplyFrame;
  static TReplyFrame FindReplyFrame(const QByteArray& Data, const QByteArray& Template);
  static qsizetype StartOfCutPrefix(const QByteArray& Data);
  bool Accepted(const TReplyFrame& Frame, const char* Request);
  void DeriveMACAddress();

  TRunRecord& Record;
  TLogSink Log;
};
