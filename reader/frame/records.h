// The reader driver's records: one DEVICE_EXTENSION per reader device and one
// READER_EXTENSION per slot, with the values device creation gives them.
#pragma once

#include "platform/nt.h"
#include "platform/serial.h"
#include "platform/smclib.h"

#define VXR_BUFFER_SIZE 1048
#define VXR_POOL_TAG 0x206B6444  // "Ddk "

// ReaderPowerState
#define ReaderPowerWorking 1
#define ReaderPowerOff 2

// Private serial request codes turned into plain reads and writes.
#define SERIAL_PSEUDO_READ SCARD_CTL_CODE(1000)
#define SERIAL_PSEUDO_WRITE SCARD_CTL_CODE(1001)

typedef struct _READER_EXTENSION {
  SERIAL_HANDFLOW SerialHandFlow;
  SERIAL_CHARS SerialChars;
  SERIAL_TIMEOUTS SerialTimeouts;
  ULONG SerialBaudRate;
  SERIAL_LINE_CONTROL SerialLineControl;
  ULONG SerialWaitMask;
  ULONG SerialIoControlCode;
  PIRP SerialStatusIrp;
  UCHAR ReceiveBuffer[VXR_BUFFER_SIZE];
  UCHAR TransmitBuffer[VXR_BUFFER_SIZE];
  ULONG ReceivedLength;
  ULONG ReaderPowerState;
  ULONG TrackedCardState;
  PDEVICE_OBJECT AttachedDeviceObject;
  BOOLEAN ReaderBusy;
  BOOLEAN ReplyStarted;
  BOOLEAN DlePending;
  BOOLEAN InFrame;
  BOOLEAN FrameComplete;
  BOOLEAN WriteTimeoutFired;
  KTIMER WriteTimer;
  KDPC WriteTimerDpc;
  BOOLEAN ReadTimeoutFired;
  KTIMER ReadTimer;
  KDPC ReadTimerDpc;
  KEVENT SerialIoEvent;
  BOOLEAN ModemStatusPhase;
  ULONG ModemStatus;
  BOOLEAN PowerRequest;
  BOOLEAN CardPresent;
  BOOLEAN CardTypeByte;
  BOOLEAN MemoryCard;
  UCHAR ReaderId[16];
  BOOLEAN LeFixup;
  BOOLEAN LeFixupActive;
  UCHAR LeFixupOriginal;
  ULONG Slot;
  UCHAR CurrentDi;

  // Bookkeeping of the serial request in flight on this slot. The status
  // block lives here rather than on a caller's stack, and the request stays
  // owned by Vxr_SerialIo until its completion has been seen, so a request
  // whose wait a time-out ended is cancelled and reclaimed before the call
  // returns and can never complete into a later call.
  IO_STATUS_BLOCK SerialIoStatus;
  PIRP SerialIoIrp;
  BOOLEAN SerialIoDone;
  // Set when a reply would grow beyond ReceiveBuffer: collection stops and
  // the try fails instead of storing past the buffer.
  BOOLEAN ReceiveOverflow;
  // Card tracking bookkeeping (card slot only): a step of the cycle is at
  // the serial driver; the request of an earlier cycle that a restart ends
  // and that is to be freed quietly when it comes back; steps in a row that
  // the serial driver failed.
  BOOLEAN TrackingStepPending;
  PIRP TrackingStaleIrp;
  ULONG TrackingFailures;
} READER_EXTENSION;

typedef struct _DEVICE_EXTENSION {
  SMARTCARD_EXTENSION SmartcardExtension;
  SMARTCARD_EXTENSION SamExtension;
  UNICODE_STRING ReaderInterfaceName;
  UNICODE_STRING VendorInterfaceName;
  PIO_WORKITEM CloseWorkItem;
  KSPIN_LOCK SpinLock;
  LONG IoCount;
  KEVENT SerialClosedEvent;
  KEVENT ReadyEvent;
  ULONG DeviceIndex;

  // One conversation with the reader at a time on the shared serial line:
  // a synchronization event, signalled while the line is free. Held by the
  // callback envelope of either slot for its whole callback (exchanges and
  // the re-arming of card tracking) and by the start sequence's queries.
  KEVENT ReaderLock;

  // Removal and the gate: once Removing is set (under SpinLock) the gate is
  // opened for good and every request waiting at it, or arriving, leaves
  // with STATUS_DEVICE_REMOVED; removal waits until GateWaiters is 0.
  BOOLEAN Removing;
  LONG GateWaiters;
  KEVENT GateDrainedEvent;
  // The gate was closed by an accepted system sleep query.
  BOOLEAN GateClosedForSleep;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
