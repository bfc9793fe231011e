#pragma once
// The inputs of a run of a built-in image with the Advanced page's defaults, as a front end gives
// them.

#include "loader/FlashJob.h"

inline TFlashJobInputs BuiltInJobInputs(const QString& Name, const QString& Offset = "0x00000") {
  TFlashJobInputs Inputs;
  Inputs.FirmwareName = Name;
  Inputs.Images = {{Name, Offset}};
  Inputs.SPIMode = "DIO";
  Inputs.FlashSize = "4MByte";
  Inputs.FlashSpeed = "40MHz";
  return Inputs;
}
