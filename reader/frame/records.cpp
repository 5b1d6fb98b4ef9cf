// Initial values of the card slot's record.
#include "reader/frame/vx7rd.h"

// Gives a zero-filled card-slot record the serial line settings and states it
// starts with: 19200 bit/s, 8 data bits, no parity, 1 stop bit, no flow
// control, read and write time-outs, reader powered, no card seen yet.
VOID Vxr_SetCardSlotDefaults(READER_EXTENSION* ReaderExtension) {
  ReaderExtension->SerialHandFlow.ControlHandShake = 0;
  ReaderExtension->SerialHandFlow.FlowReplace = SERIAL_XOFF_CONTINUE;
  ReaderExtension->SerialHandFlow.XonLimit = 0;
  ReaderExtension->SerialHandFlow.XoffLimit = 0;

  ReaderExtension->SerialChars.EofChar = 0x00;
  ReaderExtension->SerialChars.ErrorChar = 0x00;
  ReaderExtension->SerialChars.BreakChar = 0xFF;
  ReaderExtension->SerialChars.EventChar = 0x00;
  ReaderExtension->SerialChars.XonChar = 0x00;
  ReaderExtension->SerialChars.XoffChar = 0x00;

  ReaderExtension->SerialTimeouts.ReadIntervalTimeout = 30;
  ReaderExtension->SerialTimeouts.ReadTotalTimeoutMultiplier = 0;
  ReaderExtension->SerialTimeouts.ReadTotalTimeoutConstant = 3000;
  ReaderExtension->SerialTimeouts.WriteTotalTimeoutMultiplier = 0;
  ReaderExtension->SerialTimeouts.WriteTotalTimeoutConstant = 5000;

  ReaderExtension->SerialBaudRate = 19200;
  ReaderExtension->SerialLineControl.StopBits = STOP_BIT_1;
  ReaderExtension->SerialLineControl.Parity = NO_PARITY;
  ReaderExtension->SerialLineControl.WordLength = 8;

  ReaderExtension->ReaderPowerState = ReaderPowerWorking;
  ReaderExtension->TrackedCardState = 0;
  ReaderExtension->Slot = 0;
}
