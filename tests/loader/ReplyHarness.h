#pragma once
// A run record with a recognizer bound to it the way the main window binds the serial
// component's receive callback, plus the job's side of a register read.

#include "loader/RunRecord.h"
#include "loader/ReplyRecognition.h"
#include "tests/loader/QStringPrinting.h"

#include <QByteArray>
#include <QStringList>
#include <QtEndian>

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

  static QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }

  // A successful READ_REG reply; Value must hold neither 0xC0 nor 0xDB (no escaping here).
  static QByteArray RegisterReply(quint32 Value) {
    QByteArray value(4, '\0');
    qToLittleEndian(Value, value.data());
    return Hex("C0 01 0A 02 00") + value + Hex("00 00 C0");
  }

  // What the flashing job does around one register read.
  void ReadRegister(quint32 Address, quint32 Value) {
    Record.LastOperationSuccess = false;
    Record.CurrentAddress = Address;
    Deliver(RegisterReply(Value));
  }

  void ReadMACRegisters(quint32 Reg0, quint32 Reg1, quint32 Reg2, quint32 Reg3) {
    ReadRegister(0x3FF00050, Reg0);
    ReadRegister(0x3FF00054, Reg1);
    ReadRegister(0x3FF00058, Reg2);
    ReadRegister(0x3FF0005C, Reg3);
  }
};
