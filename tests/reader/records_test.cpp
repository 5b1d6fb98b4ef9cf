// The reader driver's records: member order and the card slot's initial values.
#include <cstddef>
#include <cstring>

#include "reader/frame/vx7rd.h"
#include "support/testing.h"

namespace {

#define IN_ORDER(T, a, b) static_assert(offsetof(T, a) < offsetof(T, b), #a " comes before " #b)

IN_ORDER(DEVICE_EXTENSION, SmartcardExtension, SamExtension);
IN_ORDER(DEVICE_EXTENSION, SamExtension, ReaderInterfaceName);
IN_ORDER(DEVICE_EXTENSION, ReaderInterfaceName, VendorInterfaceName);
IN_ORDER(DEVICE_EXTENSION, VendorInterfaceName, CloseWorkItem);
IN_ORDER(DEVICE_EXTENSION, CloseWorkItem, SpinLock);
IN_ORDER(DEVICE_EXTENSION, SpinLock, IoCount);
IN_ORDER(DEVICE_EXTENSION, IoCount, SerialClosedEvent);
IN_ORDER(DEVICE_EXTENSION, SerialClosedEvent, ReadyEvent);
IN_ORDER(DEVICE_EXTENSION, ReadyEvent, DeviceIndex);
static_assert(offsetof(DEVICE_EXTENSION, SmartcardExtension) == 0, "the card slot's record comes first");

IN_ORDER(READER_EXTENSION, SerialHandFlow, SerialChars);
IN_ORDER(READER_EXTENSION, SerialChars, SerialTimeouts);
IN_ORDER(READER_EXTENSION, SerialTimeouts, SerialBaudRate);
IN_ORDER(READER_EXTENSION, SerialBaudRate, SerialLineControl);
IN_ORDER(READER_EXTENSION, SerialLineControl, SerialWaitMask);
IN_ORDER(READER_EXTENSION, SerialWaitMask, SerialIoControlCode);
IN_ORDER(READER_EXTENSION, SerialIoControlCode, SerialStatusIrp);
IN_ORDER(READER_EXTENSION, SerialStatusIrp, ReceiveBuffer);
IN_ORDER(READER_EXTENSION, ReceiveBuffer, TransmitBuffer);
IN_ORDER(READER_EXTENSION, TransmitBuffer, ReceivedLength);
IN_ORDER(READER_EXTENSION, ReceivedLength, ReaderPowerState);
IN_ORDER(READER_EXTENSION, ReaderPowerState, TrackedCardState);
IN_ORDER(READER_EXTENSION, TrackedCardState, AttachedDeviceObject);
IN_ORDER(READER_EXTENSION, AttachedDeviceObject, ReaderBusy);
IN_ORDER(READER_EXTENSION, ReaderBusy, ReplyStarted);
IN_ORDER(READER_EXTENSION, ReplyStarted, DlePending);
IN_ORDER(READER_EXTENSION, DlePending, InFrame);
IN_ORDER(READER_EXTENSION, InFrame, FrameComplete);
IN_ORDER(READER_EXTENSION, FrameComplete, WriteTimeoutFired);
IN_ORDER(READER_EXTENSION, WriteTimeoutFired, WriteTimer);
IN_ORDER(READER_EXTENSION, WriteTimer, WriteTimerDpc);
IN_ORDER(READER_EXTENSION, WriteTimerDpc, ReadTimeoutFired);
IN_ORDER(READER_EXTENSION, ReadTimeoutFired, ReadTimer);
IN_ORDER(READER_EXTENSION, ReadTimer, ReadTimerDpc);
IN_ORDER(READER_EXTENSION, ReadTimerDpc, SerialIoEvent);
IN_ORDER(READER_EXTENSION, SerialIoEvent, ModemStatusPhase);
IN_ORDER(READER_EXTENSION, ModemStatusPhase, ModemStatus);
IN_ORDER(READER_EXTENSION, ModemStatus, PowerRequest);
IN_ORDER(READER_EXTENSION, PowerRequest, CardPresent);
IN_ORDER(READER_EXTENSION, CardPresent, CardTypeByte);
IN_ORDER(READER_EXTENSION, CardTypeByte, MemoryCard);
IN_ORDER(READER_EXTENSION, MemoryCard, ReaderId);
IN_ORDER(READER_EXTENSION, ReaderId, LeFixup);
IN_ORDER(READER_EXTENSION, LeFixup, LeFixupActive);
IN_ORDER(READER_EXTENSION, LeFixupActive, LeFixupOriginal);
IN_ORDER(READER_EXTENSION, LeFixupOriginal, Slot);
IN_ORDER(READER_EXTENSION, Slot, CurrentDi);
static_assert(sizeof(((READER_EXTENSION*)nullptr)->ReceiveBuffer) == 1048, "receive buffer is 1048 bytes");
static_assert(sizeof(((READER_EXTENSION*)nullptr)->TransmitBuffer) == 1048, "transmit buffer is 1048 bytes");
static_assert(VXR_POOL_TAG == vk::PoolTag("Ddk "), "records come from pool tagged 'Ddk '");
static_assert(SERIAL_PSEUDO_READ == 0x00310FA0 && SERIAL_PSEUDO_WRITE == 0x00310FA4, "private request codes");

TEST(Records, CardSlotDefaultsOnAZeroFilledRecord) {
  READER_EXTENSION record;
  std::memset(&record, 0, sizeof record);
  Vxr_SetCardSlotDefaults(&record);

  EXPECT_EQ(record.SerialHandFlow.ControlHandShake, 0u);
  EXPECT_EQ(record.SerialHandFlow.FlowReplace, 0x80000000u);
  EXPECT_EQ(record.SerialHandFlow.XonLimit, 0);
  EXPECT_EQ(record.SerialHandFlow.XoffLimit, 0);
  const UCHAR chars[6] = {0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(&record.SerialChars, chars, 6), 0);
  const ULONG timeouts[5] = {30, 0, 3000, 0, 5000};
  EXPECT_EQ(std::memcmp(&record.SerialTimeouts, timeouts, 20), 0);
  EXPECT_EQ(record.SerialBaudRate, 19200u);
  EXPECT_EQ(record.SerialLineControl.StopBits, 0);
  EXPECT_EQ(record.SerialLineControl.Parity, 0);
  EXPECT_EQ(record.SerialLineControl.WordLength, 8);
  EXPECT_EQ(record.ReaderPowerState, ULONG(ReaderPowerWorking));
  EXPECT_EQ(record.Slot, 0u);

  // Everything else stays zero.
  READER_EXTENSION expected;
  std::memset(&expected, 0, sizeof expected);
  std::memcpy(&expected, &record, offsetof(READER_EXTENSION, SerialWaitMask));
  expected.ReaderPowerState = ReaderPowerWorking;
  EXPECT_EQ(std::memcmp(&expected, &record, sizeof record), 0);
}

}  // namespace
