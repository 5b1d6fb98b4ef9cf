// The serial port driver: one UART per port, wired to a far end.
//
// It serves the requests the reader driver sends, with the usual serial
// driver semantics: one wait mask and one pending wait per port, event
// history since the mask was set, reads bounded by the SERIAL_TIMEOUTS rules,
// writes completed when their last character has left the wire, purge, modem
// status, control lines and line settings. Characters are timed on the
// virtual clock at the port's rate.
#include "vk/serial_port.h"

#include <algorithm>
#include <cstring>

#include "../kernel/kernel.h"

namespace vk {

namespace {

constexpr size_t kInQueueSize = 4096;
constexpr ULONG kMax = 0xFFFFFFFFu;

struct PortExtension {
  SerialPort* port;
};

NTSTATUS SerialDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return static_cast<PortExtension*>(device->DeviceExtension)->port->Dispatch(irp);
}

VOID SerialCancel(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  static_cast<PortExtension*>(device->DeviceExtension)->port->CancelIrp(irp);
}

NTSTATUS SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = SerialDispatch;
  return STATUS_SUCCESS;
}

// What a UART running at another rate makes of a character: deterministic
// garbage, never the byte that was sent.
std::uint8_t Garble(std::uint8_t byte, std::uint32_t sender, std::uint32_t receiver) {
  std::uint32_t h = byte * 2654435761u ^ sender * 40503u ^ receiver * 9973u;
  h ^= h >> 13;
  std::uint8_t out = std::uint8_t(h * 0x5bd1e995u >> 24);
  return out == byte ? std::uint8_t(out ^ 0x5A) : out;
}

}  // namespace

SerialPort::SerialPort(System& system, unsigned index) : system_(system), index_(index) {
  Kernel& k = system.kernel();
  if (!k.serialDriver) system.CreateDriver(L"\\Driver\\Serial", SerialDriverEntry, &k.serialDriver);
  std::wstring name = L"\\Device\\Serial" + std::to_wstring(index);
  UNICODE_STRING uname;
  RtlInitUnicodeString(&uname, name.c_str());
  IoCreateDevice(k.serialDriver, sizeof(PortExtension), &uname, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_);
  static_cast<PortExtension*>(device_->DeviceExtension)->port = this;
  device_->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device_->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
}

SerialPort::~SerialPort() = default;

unsigned SerialPort::BitsPerCharacter() const {
  unsigned bits = 1 + lineControl_.WordLength + (lineControl_.Parity != NO_PARITY ? 1 : 0);
  bits += lineControl_.StopBits == STOP_BIT_1 ? 1 : 2;
  return bits;
}

// ------------------------------------------------------------ dispatch
NTSTATUS SerialPort::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  SerialRequestRecord record{system_.Now(), stack->MajorFunction, 0, 0, {}};
  auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    record.length = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (buffer) record.data.assign(buffer, buffer + record.length);
  } else if (stack->MajorFunction == IRP_MJ_WRITE) {
    record.length = stack->Parameters.Write.Length;
    if (buffer) record.data.assign(buffer, buffer + record.length);
  } else if (stack->MajorFunction == IRP_MJ_READ) {
    record.length = stack->Parameters.Read.Length;
  }
  requests_.push_back(record);

  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->major != record.major) continue;
    if (it->ioControlCode && it->ioControlCode != record.ioControlCode) continue;
    SerialFault fault = *it;
    if (it->count && --it->count == 0) faults_.erase(it);
    switch (fault.kind) {
      case SerialFault::Kind::Fail:
        Complete(irp, fault.status, 0);
        return fault.status;
      case SerialFault::Kind::Hold:
        if (Pend(irp)) held_.push_back({irp, 0});
        return STATUS_PENDING;
      case SerialFault::Kind::Delay: {
        if (!Pend(irp)) return STATUS_PENDING;
        EventQueue::Handle h = system_.Schedule(system_.Now() + fault.delay, [this, irp] {
          auto found = std::find_if(held_.begin(), held_.end(), [irp](const Held& h) { return h.irp == irp; });
          if (found == held_.end()) return;
          held_.erase(found);
          if (Unpend(irp)) Carry(irp);
        });
        held_.push_back({irp, h});
        return STATUS_PENDING;
      }
    }
  }
  return Carry(irp);
}

NTSTATUS SerialPort::Carry(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      if (open_) {
        Complete(irp, STATUS_ACCESS_DENIED, 0);
        return STATUS_ACCESS_DENIED;
      }
      open_ = true;
      errors_ = 0;
      history_ = 0;
      waitMask_ = 0;
      inQueue_.clear();
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case IRP_MJ_CLOSE:
      open_ = false;
      CancelAll();
      SetLines(false, false);
      break_ = false;
      waitMask_ = 0;
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case IRP_MJ_CLEANUP:
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
      if (!open_) {
        Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        return STATUS_INVALID_DEVICE_STATE;
      }
      if (stack->MajorFunction == IRP_MJ_READ) return StartRead(irp);
      if (stack->MajorFunction == IRP_MJ_WRITE) return StartWrite(irp);
      return DeviceControl(irp);
    case IRP_MJ_PNP: {
      NTSTATUS status = irp->IoStatus.Status;
      switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          status = STATUS_SUCCESS;
          break;
        default:
          break;
      }
      Complete(irp, status, irp->IoStatus.Information);
      return status;
    }
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(device_, DevicePowerState, stack->Parameters.Power.State);
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    default:
      Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS SerialPort::DeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;

  auto input = [&](size_t size) { return in >= size && buffer; };
  auto output = [&](size_t size) { return out >= size && buffer; };
  auto put = [&](const void* data, size_t size) {
    if (!output(size)) {
      status = STATUS_BUFFER_TOO_SMALL;
      return;
    }
    std::memcpy(buffer, data, size);
    information = size;
  };
  auto take = [&](auto& block) {
    if (!input(sizeof block))
      status = STATUS_BUFFER_TOO_SMALL;
    else
      std::memcpy(&block, buffer, sizeof block);
  };

  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      if (!input(sizeof(SERIAL_BAUD_RATE))) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        ULONG rate = static_cast<PSERIAL_BAUD_RATE>(buffer)->BaudRate;
        if (rate == 0 || rate > 921600)
          status = STATUS_INVALID_PARAMETER;
        else
          baud_ = rate;
        if (status == STATUS_SUCCESS && onRateChange) onRateChange(rate);
      }
      break;
    case IOCTL_SERIAL_GET_BAUD_RATE: {
      SERIAL_BAUD_RATE rate{baud_};
      put(&rate, sizeof rate);
      break;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      if (!input(sizeof(SERIAL_LINE_CONTROL))) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        SERIAL_LINE_CONTROL lc = *static_cast<PSERIAL_LINE_CONTROL>(buffer);
        if (lc.WordLength < 5 || lc.WordLength > 8 || lc.StopBits > STOP_BITS_2 || lc.Parity > SPACE_PARITY)
          status = STATUS_INVALID_PARAMETER;
        else
          lineControl_ = lc;
      }
      break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      put(&lineControl_, sizeof lineControl_);
      break;
    case IOCTL_SERIAL_SET_CHARS:
      take(chars_);
      break;
    case IOCTL_SERIAL_GET_CHARS:
      put(&chars_, sizeof chars_);
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      if (!input(sizeof(SERIAL_TIMEOUTS))) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        SERIAL_TIMEOUTS t = *static_cast<PSERIAL_TIMEOUTS>(buffer);
        if (t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == kMax &&
            t.ReadTotalTimeoutConstant == kMax)
          status = STATUS_INVALID_PARAMETER;
        else
          timeouts_ = t;
      }
      break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      put(&timeouts_, sizeof timeouts_);
      break;
    case IOCTL_SERIAL_SET_HANDFLOW:
      take(handflow_);
      break;
    case IOCTL_SERIAL_GET_HANDFLOW:
      put(&handflow_, sizeof handflow_);
      break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      break;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF: {
      bool on = code == IOCTL_SERIAL_SET_BREAK_ON;
      if (on != break_) {
        break_ = on;
        if (listener_) listener_->OnHostBreak(on);
      }
      break;
    }
    case IOCTL_SERIAL_SET_DTR:
      SetLines(true, rts_);
      break;
    case IOCTL_SERIAL_CLR_DTR:
      SetLines(false, rts_);
      break;
    case IOCTL_SERIAL_SET_RTS:
      SetLines(dtr_, true);
      break;
    case IOCTL_SERIAL_CLR_RTS:
      SetLines(dtr_, false);
      break;
    case IOCTL_SERIAL_GET_DTRRTS: {
      ULONG state = (dtr_ ? SERIAL_DTR_STATE : 0) | (rts_ ? SERIAL_RTS_STATE : 0);
      put(&state, sizeof state);
      break;
    }
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
      ULONG state = (cts_ ? SERIAL_CTS_STATE : 0) | (dsr_ ? SERIAL_DSR_STATE : 0) | (ring_ ? SERIAL_RI_STATE : 0) |
                    (dcd_ ? SERIAL_DCD_STATE : 0);
      put(&state, sizeof state);
      break;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
      SERIAL_STATUS s{};
      s.Errors = errors_;
      s.AmountInInQueue = ULONG(inQueue_.size());
      for (auto& w : writes_) s.AmountInOutQueue += w.length - w.sent;
      if (output(sizeof s)) errors_ = 0;
      put(&s, sizeof s);
      break;
    }
    case IOCTL_SERIAL_PURGE: {
      if (!input(sizeof(ULONG))) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      ULONG mask = *static_cast<PULONG>(buffer);
      if (mask == 0 || (mask & ~ULONG(0xF))) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (mask & SERIAL_PURGE_TXABORT) {
        while (!writes_.empty()) {
          PendingWrite w = writes_.front();
          writes_.pop_front();
          if (w.timer) system_.Cancel(w.timer);
          if (Unpend(w.irp)) Complete(w.irp, STATUS_CANCELLED, w.sent);
        }
      }
      if (mask & SERIAL_PURGE_RXABORT) {
        while (!reads_.empty()) FinishRead(STATUS_CANCELLED);
      }
      if (mask & SERIAL_PURGE_RXCLEAR) inQueue_.clear();
      break;
    }
    case IOCTL_SERIAL_GET_WAIT_MASK:
      put(&waitMask_, sizeof waitMask_);
      break;
    case IOCTL_SERIAL_SET_WAIT_MASK: {
      if (!input(sizeof(ULONG))) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      ULONG mask = *static_cast<PULONG>(buffer);
      if (mask & ~ULONG(SERIAL_EV_VALID_MASK)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      // A new mask ends the pending wait at once with no events.
      if (waitIrp_) {
        PIRP wait = waitIrp_;
        if (Unpend(wait)) {
          waitIrp_ = nullptr;
          if (wait->AssociatedIrp.SystemBuffer) *static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer) = 0;
          Complete(wait, STATUS_SUCCESS, sizeof(ULONG));
        }
      }
      waitMask_ = mask;
      history_ = 0;
      break;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK: {
      if (!output(sizeof(ULONG))) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      if (waitIrp_ || waitMask_ == 0) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (history_ & waitMask_) {
        *static_cast<PULONG>(buffer) = history_ & waitMask_;
        history_ = 0;
        information = sizeof(ULONG);
        break;
      }
      if (Pend(irp)) waitIrp_ = irp;
      return STATUS_PENDING;
    }
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  Complete(irp, status, information);
  return status;
}

// ------------------------------------------------------------ completion and cancellation
void SerialPort::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

bool SerialPort::Pend(PIRP irp) {
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    Complete(irp, STATUS_CANCELLED, 0);
    return false;
  }
  IoSetCancelRoutine(irp, SerialCancel);
  IoReleaseCancelSpinLock(irql);
  return true;
}

bool SerialPort::Unpend(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  return routine != nullptr;
}

void SerialPort::CancelIrp(PIRP irp) {
  if (waitIrp_ == irp) {
    waitIrp_ = nullptr;
    Complete(irp, STATUS_CANCELLED, 0);
    return;
  }
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (it->irp == irp) {
      if (it->timer) system_.Cancel(it->timer);
      held_.erase(it);
      Complete(irp, STATUS_CANCELLED, 0);
      return;
    }
  }
  for (auto it = reads_.begin(); it != reads_.end(); ++it) {
    if (it->irp == irp) {
      bool head = it == reads_.begin();
      if (it->totalTimer) system_.Cancel(it->totalTimer);
      if (it->intervalTimer) system_.Cancel(it->intervalTimer);
      ULONG got = it->got;
      reads_.erase(it);
      Complete(irp, STATUS_CANCELLED, got);
      if (head) ServiceReads();
      return;
    }
  }
  for (auto it = writes_.begin(); it != writes_.end(); ++it) {
    if (it->irp == irp) {
      if (it->timer) system_.Cancel(it->timer);
      ULONG sent = it->sent;
      writes_.erase(it);
      Complete(irp, STATUS_CANCELLED, sent);
      return;
    }
  }
}

void SerialPort::CancelAll() {
  std::vector<PIRP> all;
  if (waitIrp_) all.push_back(waitIrp_);
  for (auto& h : held_) all.push_back(h.irp);
  for (auto& r : reads_) all.push_back(r.irp);
  for (auto& w : writes_) all.push_back(w.irp);
  for (PIRP irp : all) {
    if (Unpend(irp)) CancelIrp(irp);
  }
}

// ------------------------------------------------------------ events
void SerialPort::Event(ULONG events) {
  if (!open_) return;
  events &= waitMask_;
  if (!events) return;
  history_ |= events;
  if (waitIrp_) {
    PIRP wait = waitIrp_;
    if (Unpend(wait)) {
      waitIrp_ = nullptr;
      *static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer) = history_;
      history_ = 0;
      Complete(wait, STATUS_SUCCESS, sizeof(ULONG));
    }
  }
}

void SerialPort::SetModemLines(bool cts, bool dsr, bool ring, bool dcd) {
  ULONG events = 0;
  if (cts != cts_) events |= SERIAL_EV_CTS;
  if (dsr != dsr_) events |= SERIAL_EV_DSR;
  if (ring && !ring_) events |= SERIAL_EV_RING;
  if (dcd != dcd_) events |= SERIAL_EV_RLSD;
  cts_ = cts;
  dsr_ = dsr;
  ring_ = ring;
  dcd_ = dcd;
  Event(events);
}

void SerialPort::SetLines(bool dtr, bool rts) {
  bool changed = dtr != dtr_ || rts != rts_;
  if (dtr != dtr_) dtrHistory_.push_back({system_.Now(), dtr});
  dtr_ = dtr;
  rts_ = rts;
  if (changed && listener_) listener_->OnHostLines(dtr, rts);
}

// ------------------------------------------------------------ reads
NTSTATUS SerialPort::StartRead(PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  if (length == 0) {
    Complete(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
  }
  if (!irp->AssociatedIrp.SystemBuffer) {
    Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  if (reads_.empty()) {
    // Served at once when the bytes are there or the time-outs say "return now".
    auto* out = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    ULONG got = 0;
    while (got < length && !inQueue_.empty()) {
      out[got++] = inQueue_.front();
      inQueue_.pop_front();
    }
    const SERIAL_TIMEOUTS& t = timeouts_;
    bool immediate = t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    bool firstByte = t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == kMax;
    if (got == length || immediate || (firstByte && got > 0)) {
      Complete(irp, STATUS_SUCCESS, got);
      return STATUS_SUCCESS;
    }
    if (!Pend(irp)) return STATUS_PENDING;
    reads_.push_back({irp, length, got});
  } else {
    if (!Pend(irp)) return STATUS_PENDING;
    reads_.push_back({irp, length, 0});
    return STATUS_PENDING;
  }
  // Arm the total time-out of the head read.
  PendingRead& head = reads_.front();
  const SERIAL_TIMEOUTS& t = timeouts_;
  std::uint64_t totalMs;
  if (t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == kMax)
    totalMs = t.ReadTotalTimeoutConstant;
  else
    totalMs = std::uint64_t(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
  if (totalMs)
    head.totalTimer = system_.Schedule(system_.Now() + Nanos(totalMs) * kMillisecond, [this, irp] {
      if (!reads_.empty() && reads_.front().irp == irp) {
        reads_.front().totalTimer = 0;
        FinishRead(STATUS_TIMEOUT);
      }
    });
  if (head.got > 0) ServiceReads();
  return STATUS_PENDING;
}

void SerialPort::ServiceReads() {
  while (!reads_.empty()) {
    PendingRead& r = reads_.front();
    auto* out = static_cast<std::uint8_t*>(r.irp->AssociatedIrp.SystemBuffer);
    ULONG before = r.got;
    while (r.got < r.wanted && !inQueue_.empty()) {
      out[r.got++] = inQueue_.front();
      inQueue_.pop_front();
    }
    const SERIAL_TIMEOUTS& t = timeouts_;
    bool firstByte = t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == kMax;
    if (r.got == r.wanted || (firstByte && r.got > 0)) {
      FinishRead(STATUS_SUCCESS);
      continue;
    }
    if (r.got > before && t.ReadIntervalTimeout && t.ReadIntervalTimeout != kMax) {
      if (r.intervalTimer) system_.Cancel(r.intervalTimer);
      PIRP irp = r.irp;
      r.intervalTimer =
          system_.Schedule(system_.Now() + Nanos(t.ReadIntervalTimeout) * kMillisecond, [this, irp] {
            if (!reads_.empty() && reads_.front().irp == irp) {
              reads_.front().intervalTimer = 0;
              FinishRead(STATUS_TIMEOUT);
            }
          });
    }
    return;
  }
}

void SerialPort::FinishRead(NTSTATUS status) {
  PendingRead r = reads_.front();
  reads_.pop_front();
  if (r.totalTimer) system_.Cancel(r.totalTimer);
  if (r.intervalTimer) system_.Cancel(r.intervalTimer);
  if (Unpend(r.irp)) Complete(r.irp, status, r.got);
  if (!reads_.empty()) {
    // The next read starts now: re-dispatching it arms its own time-outs.
    PIRP next = reads_.front().irp;
    reads_.pop_front();
    if (Unpend(next)) StartRead(next);
  }
}

// ------------------------------------------------------------ writes
NTSTATUS SerialPort::StartWrite(PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  if (length == 0) {
    Complete(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
  }
  if (!irp->AssociatedIrp.SystemBuffer) {
    Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  if (!Pend(irp)) return STATUS_PENDING;
  PendingWrite w{irp, length, 0};
  std::uint64_t totalMs =
      std::uint64_t(timeouts_.WriteTotalTimeoutMultiplier) * length + timeouts_.WriteTotalTimeoutConstant;
  if (totalMs)
    w.timer = system_.Schedule(system_.Now() + Nanos(totalMs) * kMillisecond, [this, irp] {
      for (auto it = writes_.begin(); it != writes_.end(); ++it) {
        if (it->irp == irp) {
          ULONG sent = it->sent;
          writes_.erase(it);
          if (Unpend(irp)) Complete(irp, STATUS_TIMEOUT, sent);
          return;
        }
      }
    });
  writes_.push_back(w);
  Transmit();
  return STATUS_PENDING;
}

void SerialPort::Transmit() {
  if (transmitting_ || writes_.empty()) return;
  PendingWrite& w = writes_.front();
  std::uint8_t byte = static_cast<std::uint8_t*>(w.irp->AssociatedIrp.SystemBuffer)[w.sent];
  PIRP owner = w.irp;
  transmitting_ = true;
  std::uint32_t rate = baud_;
  txEvent_ = system_.Schedule(system_.Now() + CharacterTime(rate, BitsPerCharacter()), [this, byte, owner, rate] {
    transmitting_ = false;
    bool garbled = rate != farRate_;
    std::uint8_t seen = garbled ? Garble(byte, rate, farRate_) : byte;
    WireCharacter c{system_.Now(), false, seen, garbled};
    wire_.push_back(c);
    if (onWire) onWire(c);
    if (!writes_.empty() && writes_.front().irp == owner) {
      PendingWrite& head = writes_.front();
      if (++head.sent == head.length) {
        PendingWrite done = head;
        writes_.pop_front();
        if (done.timer) system_.Cancel(done.timer);
        if (Unpend(done.irp)) Complete(done.irp, STATUS_SUCCESS, done.length);
      }
    }
    if (listener_) listener_->OnReceive(seen, garbled);
    if (writes_.empty())
      Event(SERIAL_EV_TXEMPTY);
    else
      Transmit();
  });
}

// ------------------------------------------------------------ far end
void SerialPort::Send(const std::uint8_t* data, std::size_t length) {
  farQueue_.insert(farQueue_.end(), data, data + length);
  ReceiveFromFar();
}

void SerialPort::ReceiveFromFar() {
  if (farSending_ || farQueue_.empty()) return;
  farSending_ = true;
  std::uint8_t byte = farQueue_.front();
  farQueue_.pop_front();
  std::uint32_t rate = farRate_;
  farEvent_ = system_.Schedule(system_.Now() + CharacterTime(rate), [this, byte, rate] {
    farSending_ = false;
    bool garbled = rate != baud_;
    std::uint8_t seen = garbled ? Garble(byte, rate, baud_) : byte;
    WireCharacter c{system_.Now(), true, seen, garbled};
    wire_.push_back(c);
    if (onWire) onWire(c);
    if (open_) {
      ULONG events = SERIAL_EV_RXCHAR;
      if (garbled) {
        errors_ |= SERIAL_ERROR_FRAMING;
        events |= SERIAL_EV_ERR;
      }
      if (inQueue_.size() >= kInQueueSize) {
        errors_ |= SERIAL_ERROR_QUEUEOVERRUN;
        events |= SERIAL_EV_ERR;
      } else {
        inQueue_.push_back(seen);
      }
      ServiceReads();
      Event(events);
    }
    ReceiveFromFar();
  });
}

}  // namespace vk
