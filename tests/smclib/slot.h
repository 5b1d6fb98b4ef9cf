// A slot record set up as a serial reader driver sets it up: the library
// initialised on it, the reader's figures filled in, a reader-function table
// the test supplies.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/smclib.h"
#include "support/testing.h"

namespace smct {

struct Slot {
  SMARTCARD_EXTENSION ext{};
  ULONG rates[3] = {9600, 19200, 38400};

  // Must run in a thread of the system.
  NTSTATUS Init(PDEVICE_OBJECT device = nullptr) {
    ext.Version = SMCLIB_VERSION;
    ext.SmartcardRequest.BufferSize = 1048;
    ext.SmartcardReply.BufferSize = 1048;
    NTSTATUS status = SmartcardInitialize(&ext);
    if (!NT_SUCCESS(status)) return status;
    ext.OsData->DeviceObject = device;
    auto& rc = ext.ReaderCapabilities;
    rc.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | 0x10;
    rc.ReaderType = SCARD_READER_TYPE_SERIAL;
    rc.CurrentState = SCARD_ABSENT;
    rc.CLKFrequency.Default = rc.CLKFrequency.Max = 3571;
    rc.DataRate.Default = rc.DataRate.Max = 9600;
    rc.MaxIFSD = 240;
    rc.DataRatesSupported.List = rates;
    rc.DataRatesSupported.Entries = 3;
    return status;
  }

  void SetAtr(const std::vector<std::uint8_t>& atr) {
    std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
  }

  void Exit() {
    if (ext.OsData) SmartcardExit(&ext);
  }
};

// Appends the check byte TCK (XOR of T0 .. the last byte).
inline std::vector<std::uint8_t> WithTck(std::vector<std::uint8_t> atr) {
  std::uint8_t x = 0;
  for (size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
  atr.push_back(x);
  return atr;
}

}  // namespace smct
