#include "tools/rq53sim/SimulatedFrames.h"

#include <algorithm>

quint32 SimReadLe32(const QByteArray& Bytes, int At) {
  quint32 Value = 0;
  for (int i = 3; i >= 0; --i) Value = (Value << 8) | quint8(Bytes[At + i]);
  return Value;
}

void SimAppendLe32(QByteArray& Bytes, quint32 Value) {
  for (int i = 0; i < 4; ++i) Bytes.append(char((Value >> (8 * i)) & 0xFF));
}

quint8 SimDataChecksum(const QByteArray& Block) {
  quint8 Sum = 0xEF;
  for (char c : Block) Sum ^= quint8(c);
  return Sum;
}

int SimFailed(TSimRequest& Request, quint8 Error) {
  Request.Status = 1;
  Request.Error = Error;
  return 0;
}

quint32 SimDivided(quint64 Dividend, quint32 Divisor) {
  return Divisor == 0 ? 0 : quint32((Dividend + Divisor / 2) / Divisor);
}

QByteArray SimMisreadAtRate(const QByteArray& Text, quint32 SendRate, quint32 ReceiveRate) {
  // The sent line level at time T (seconds): 8N1 characters back to back, then idle (high).
  if (SendRate == 0 || ReceiveRate == 0) return QByteArray();
  const double SendBit = 1.0 / SendRate;
  const double End = 10.0 * SendBit * Text.size();
  auto Level = [&](double T) {
    if (T >= End) return 1;
    const int Index = int(T / (10.0 * SendBit));
    const int Bit = std::min(9, int((T - Index * 10.0 * SendBit) / SendBit));
    if (Bit == 0 || Bit == 9) return Bit == 9 ? 1 : 0;
    return (quint8(Text[Index]) >> (Bit - 1)) & 1;
  };
  // The receiving UART looks for a low level at 16 times its bit rate and samples each bit in its
  // middle. A character whose stop bit reads low is a framing error, which a Linux tty without
  // IGNPAR or PARMRK passes on as a zero byte.
  const double Bit = 1.0 / ReceiveRate;
  QByteArray Out;
  for (double T = 0; T < End;) {
    if (Level(T) == 1 || Level(T + Bit / 2) == 1) {
      T += Bit / 16;
      continue;
    }
    int Byte = 0;
    for (int i = 0; i < 8; ++i) Byte |= Level(T + (1.5 + i) * Bit) << i;
    const bool Framed = Level(T + 9.5 * Bit) == 1;
    Out.append(char(Framed ? Byte : 0));
    T += 9.5 * Bit;
  }
  return Out;
}
