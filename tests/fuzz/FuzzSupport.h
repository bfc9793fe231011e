#pragma once
// What the fuzz targets share: their checks and a reader of their input. A broken check ends the
// run as a crash, which the fuzzer keeps as a finding and the replay of the seed corpus reports as
// a failed test.

#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzCheckFailed(const char* Condition, const char* File, int Line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", File, Line, Condition);
  std::abort();
}

#define FUZZ_CHECK(Condition) \
  ((Condition) ? void(0) : FuzzCheckFailed(#Condition, __FILE__, __LINE__))

// Takes a fuzz input apart from its front: numbers that steer the target, and bytes.
class TFuzzInput {
 public:
  TFuzzInput(const std::uint8_t* Data, std::size_t Size) : FData(Data), FSize(Size) {}
  bool Empty() const { return FTaken == FSize; }
  // A byte; 0 once the input is used up.
  std::uint8_t Byte() { return Empty() ? 0 : FData[FTaken++]; }
  // A number from Low to High, taken from two bytes.
  int Number(int Low, int High) {
    const int Raw = Byte() | Byte() << 8;
    return Low + Raw % (High - Low + 1);
  }
  // The next Count bytes; fewer at the end of the input.
  QByteArray Bytes(std::size_t Count) {
    const std::size_t Taken = std::min(Count, FSize - FTaken);
    FTaken += Taken;
    return QByteArray(reinterpret_cast<const char*>(FData + FTaken - Taken), qsizetype(Taken));
  }
  QByteArray Rest() { return Bytes(FSize - FTaken); }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FTaken = 0;
};
