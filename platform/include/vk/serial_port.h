// The serial port driver of the emulated kernel and the line behind a port.
//
// Each port is a device "\Device\Serial<n>" of the driver "\Driver\Serial",
// the bottom of the stack on which a reader driver is attached. Its far end is
// a vk::FarEnd: whatever is plugged into the port (the reader simulator, or a
// scripted peer in tests). Characters take their bit times at the port's rate
// in virtual time; a character sent at a rate other than the receiver's
// arrives garbled.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/line.h"
#include "platform/serial.h"
#include "vk/system.h"

namespace vk {

// A fault the port applies to matching requests.
struct SerialFault {
  enum class Kind {
    Fail,   // complete at once with `status`
    Delay,  // carry the request out `delay` later
    Hold,   // complete only when cancelled
  };
  Kind kind = Kind::Fail;
  UCHAR major = IRP_MJ_DEVICE_CONTROL;
  ULONG ioControlCode = 0;  // 0: any request of the major function
  unsigned count = 1;       // requests affected; 0: all
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Nanos delay = 0;
};

// One request as the port received it.
struct SerialRequestRecord {
  Nanos time;
  UCHAR major;
  ULONG ioControlCode;  // device controls only
  ULONG length;         // read/write length, or the input length of a device control
  std::vector<std::uint8_t> data;  // write data or device-control input
};

struct WireCharacter {
  Nanos time;    // when the character was fully received
  bool toHost;   // from the far end to the port
  std::uint8_t byte;
  bool garbled;
};

class SerialPort : public FarEnd {
 public:
  SerialPort(System& system, unsigned index);
  ~SerialPort() override;

  PDEVICE_OBJECT Device() const { return device_; }
  unsigned Index() const { return index_; }

  // ---- state, as a test sees it
  bool IsOpen() const { return open_; }
  std::uint32_t PortRate() const { return baud_; }
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  bool BreakOn() const { return break_; }
  const SERIAL_LINE_CONTROL& LineControl() const { return lineControl_; }
  const SERIAL_TIMEOUTS& Timeouts() const { return timeouts_; }
  const SERIAL_CHARS& Chars() const { return chars_; }
  const SERIAL_HANDFLOW& HandFlow() const { return handflow_; }
  ULONG WaitMask() const { return waitMask_; }
  bool WaitPending() const { return waitIrp_ != nullptr; }
  size_t InQueue() const { return inQueue_.size(); }
  const std::vector<std::pair<Nanos, bool>>& DtrHistory() const { return dtrHistory_; }
  const std::vector<SerialRequestRecord>& Requests() const { return requests_; }
  void ClearRequests() { requests_.clear(); }
  const std::vector<WireCharacter>& Wire() const { return wire_; }
  void ClearWire() { wire_.clear(); }
  // Called for every character on the wire, both directions.
  std::function<void(const WireCharacter&)> onWire;
  // Called when the host sets a new rate on the port.
  std::function<void(std::uint32_t)> onRateChange;

  // ---- faults
  void AddFault(const SerialFault& fault) { faults_.push_back(fault); }
  void ClearFaults() { faults_.clear(); }

  // ---- FarEnd
  void Attach(FarEndListener* listener) override { listener_ = listener; }
  void Send(const std::uint8_t* data, std::size_t length) override;
  std::size_t Unsent() const override { return farQueue_.size(); }
  void DropUnsent() override { farQueue_.clear(); }
  void SetRate(std::uint32_t bitsPerSecond) override { farRate_ = bitsPerSecond; }
  std::uint32_t Rate() const override { return farRate_; }
  void SetModemLines(bool cts, bool dsr, bool ring = false, bool dcd = false) override;
  bool HostDtr() const override { return dtr_; }
  bool HostRts() const override { return rts_; }
  EventQueue& Clock() override { return system_; }

  // The dispatch routine of every major function (internal).
  NTSTATUS Dispatch(PIRP irp);
  void CancelIrp(PIRP irp);

 private:
  struct PendingRead {
    PIRP irp;
    ULONG wanted;
    ULONG got;
    EventQueue::Handle totalTimer = 0;
    EventQueue::Handle intervalTimer = 0;
  };
  struct PendingWrite {
    PIRP irp;
    ULONG length;
    ULONG sent;
    EventQueue::Handle timer = 0;
  };
  struct Held {
    PIRP irp;
    EventQueue::Handle timer;
  };

  NTSTATUS Carry(PIRP irp);
  NTSTATUS DeviceControl(PIRP irp);
  NTSTATUS StartRead(PIRP irp);
  NTSTATUS StartWrite(PIRP irp);
  void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
  bool Pend(PIRP irp);  // false when the request was cancelled meanwhile
  bool Unpend(PIRP irp);
  void Event(ULONG events);
  void ServiceReads();
  void FinishRead(NTSTATUS status);
  void Transmit();
  void ReceiveFromFar();
  void SetLines(bool dtr, bool rts);
  void CancelAll();
  unsigned BitsPerCharacter() const;

  System& system_;
  unsigned index_;
  PDEVICE_OBJECT device_ = nullptr;
  FarEndListener* listener_ = nullptr;
  bool open_ = false;
  std::uint32_t baud_ = 9600;
  SERIAL_LINE_CONTROL lineControl_{STOP_BIT_1, NO_PARITY, 8};
  SERIAL_TIMEOUTS timeouts_{};
  SERIAL_CHARS chars_{};
  SERIAL_HANDFLOW handflow_{};
  bool dtr_ = false, rts_ = false, break_ = false;
  bool cts_ = false, dsr_ = false, ring_ = false, dcd_ = false;
  ULONG errors_ = 0;
  ULONG waitMask_ = 0;
  ULONG history_ = 0;
  PIRP waitIrp_ = nullptr;
  std::deque<std::uint8_t> inQueue_;
  std::deque<PendingRead> reads_;
  std::deque<PendingWrite> writes_;
  std::vector<Held> held_;
  bool transmitting_ = false;
  EventQueue::Handle txEvent_ = 0;
  std::uint32_t farRate_ = 9600;
  std::deque<std::uint8_t> farQueue_;
  bool farSending_ = false;
  EventQueue::Handle farEvent_ = 0;
  std::vector<SerialFault> faults_;
  std::vector<SerialRequestRecord> requests_;
  std::vector<std::pair<Nanos, bool>> dtrHistory_;
  std::vector<WireCharacter> wire_;
};

}  // namespace vk
