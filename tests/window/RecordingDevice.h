#pragma once
// A serial device between the component and the platform that passes everything through to the
// real device and records, with the time, every change of the DTR and RTS lines and every SYNC
// request written. With a MaxRate it is an adapter whose driver refuses rates above it.

#include "loader/LoaderCodec.h"
#include "serial/SPComm.h"

#include <QElapsedTimer>

#include <memory>
#include <mutex>
#include <vector>

struct TLineEvent {
  enum TKind { Lines, Sync };
  TKind Kind;
  qint64 Ms;
  bool Dtr = false;
  bool Rts = false;
  friend bool operator==(const TLineEvent& A, const TLineEvent& B) {
    return A.Kind == B.Kind && A.Dtr == B.Dtr && A.Rts == B.Rts;
  }
};

class TLineRecorder {
 public:
  TLineRecorder() { Clock.start(); }
  void Add(TLineEvent Event) {
    std::lock_guard Lock(Mutex);
    Event.Ms = Clock.elapsed();
    Events.push_back(Event);
  }
  std::vector<TLineEvent> Taken() {
    std::lock_guard Lock(Mutex);
    return Events;
  }
  // Puts the recorder between Comm and the platform.
  void Attach(TComm& Comm);
  // Rates above this one are refused (0: none). Set before the port opens.
  quint32 MaxRate = 0;

 private:
  std::mutex Mutex;
  QElapsedTimer Clock;
  std::vector<TLineEvent> Events;
};

class TRecordingDevice : public SerialPlatform::TSerialDevice {
 public:
  TRecordingDevice(std::unique_ptr<TSerialDevice> Real, TLineRecorder& Recorder)
      : Real(std::move(Real)), Recorder(Recorder) {}
  std::intptr_t Handle() const override { return Real->Handle(); }
  bool IsCharDevice() const override { return Real->IsCharDevice(); }
  bool SetupQueues(quint32 In, quint32 Out) override { return Real->SetupQueues(In, Out); }
  void Purge(bool Input, bool Output) override { Real->Purge(Input, Output); }
  bool ApplyLine(const SerialPlatform::TLineConfig& Config) override {
    using namespace SerialPlatform::LineFlag;
    Recorder.Add({TLineEvent::Lines, 0, (Config.Flags & DtrMask) == DtrEnable,
                  (Config.Flags & RtsMask) == RtsEnable});
    if (Recorder.MaxRate == 0 || Config.BaudRate <= Recorder.MaxRate)
      return Real->ApplyLine(Config);
    SerialPlatform::TLineConfig Kept = Config;
    Kept.BaudRate = Real->LineRate();
    Real->ApplyLine(Kept);
    return false;
  }
  quint32 LineRate() const override { return Real->LineRate(); }
  void ApplyTimeouts(const SerialPlatform::TCommTimeouts& Timeouts) override {
    Real->ApplyTimeouts(Timeouts);
  }
  quint32 ModemStatus() const override { return Real->ModemStatus(); }
  bool SetEventMask(quint32 Mask) override { return Real->SetEventMask(Mask); }
  bool ClearErrors(quint32& ErrorWord) override { return Real->ClearErrors(ErrorWord); }
  SerialPlatform::TIoStatus Read(SerialPlatform::TReadRecord& Record,
                                 const SerialPlatform::TEvent& Close, quint32& Events) override {
    return Real->Read(Record, Close, Events);
  }
  SerialPlatform::TIoStatus Write(const quint8* Data, quint32 Count,
                                  const SerialPlatform::TEvent& Close,
                                  quint32& Written) override {
    if (QByteArray::fromRawData(reinterpret_cast<const char*>(Data), Count) ==
        SyncRequestTemplate)
      Recorder.Add({TLineEvent::Sync, 0});
    return Real->Write(Data, Count, Close, Written);
  }

 private:
  std::unique_ptr<TSerialDevice> Real;
  TLineRecorder& Recorder;
};

inline void TLineRecorder::Attach(TComm& Comm) {
  Comm.DeviceOpener = [this](const QString& Name) -> std::unique_ptr<SerialPlatform::TSerialDevice> {
    auto Real = SerialPlatform::OpenSerialDevice(Name);
    if (!Real) return nullptr;
    return std::make_unique<TRecordingDevice>(std::move(Real), *this);
  };
}
