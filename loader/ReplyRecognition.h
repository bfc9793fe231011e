#pragma once
// Recognises the boot ROM's replies in the bytes the serial port delivers and reports
// them in the run record: RunState for the SYNC acknowledgement, LastOperationSuccess or
// LastOperationFailed for the reply the flashing job waits on. READ_REG values of the
// eFuse MAC words are stored, and the MAC address is derived when the last one arrives.
// Runs on the UI thread only, one delivery at a time.

#include "loader/LogSink.h"
#include "loader/RunRecord.h"

#include <QByteArray>
#include <QObject>

#include <array>
#include <vector>

// The eFuse words that hold the MAC address, in the order they are read.
inline constexpr std::array<quint32, 4> MACRegisterAddresses{0x3FF00050, 0x3FF00054, 0x3FF00058,
                                                             0x3FF0005C};

// The most SerailBufferA holds between two deliveries: the start of one reply, its frame
// byte and at most 16 bytes of its body (value and status bytes may come escaped).
inline constexpr qsizetype ReplyHoldLimit = 17;

class TReplyRecognizer {
 public:
  TReplyRecognizer(TRunRecord& Record, TLogSink Log);

  // The serial component's receive callback. The delivery is added to SerailBufferA and
  // every complete reply frame in it is judged; afterwards the buffer keeps only the start
  // of a reply that has begun but not yet ended (at most ReplyHoldLimit bytes), so console
  // text and other bytes that belong to no reply never pile up. While the run record says the
  // worker talks to the loader program, every complete frame goes to its queue instead. Sender
  // is unused.
  void CommReceiveData(QObject* Sender, const quint8* Buffer, quint16 BufferLength);

  // Stores the value of the first complete, well-formed READ_REG reply with a success
  // status in Data according to the run record's CurrentAddress. Without one nothing
  // changes.
  void ParseRegisterReply(const QByteArray& Data);

 private:
  struct TReplyFrame;
  static std::vector<TReplyFrame> CompleteReplies(const QByteArray& Data);
  static bool CouldStartReply(const QByteArray& Tail);
  static void KeepReplyStart(QByteArray& Received, qsizetype EndOfLastReply);
  bool Judge(const std::vector<TReplyFrame>& Replies, const QByteArray& Template,
             const char* Request, const QString& Note);
  void DeriveMACAddress();

  TRunRecord& Record;
  TLogSink Log;
};
