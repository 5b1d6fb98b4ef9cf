// The driver stack behind the IFD handler: one emulated system in real time,
// its scheduler loop on a thread of its own, and requests handed to it from
// pcscd's threads.
//
// The kernel library runs its threads as fibers on the OS thread that runs
// the scheduler loop, so everything that touches the system happens on that
// one thread (`loop_`): boot, the loop itself, teardown. A request from
// pcscd is posted to the loop, which starts a thread of the system for it;
// the caller waits on a condition variable with a bound, cancels the request
// when the bound is exceeded and waits a little more for the cancellation.
#include "ifd/stack.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "platform/smclib.h"
#include "vk/serial_port.h"
#include "vk/system.h"
#include "vk/tty_line.h"

namespace vx7ifd {

namespace {

constexpr std::uint32_t kVendorFunctionFirst = 2048;
constexpr std::uint32_t kPcscControlBase = 0x42000000;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Where a driver module is: $VX7_DRIVER_DIR/NAME when set; else NAME beside
// this handler's own shared object (an installed copy keeps the three
// modules in one folder); else the path the build tree gave it.
std::string LocateDriver(const char* name, const char* buildPath) {
  if (const char* dir = std::getenv("VX7_DRIVER_DIR"); dir && *dir) return std::string(dir) + "/" + name;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LocateDriver), &info) && info.dli_fname) {
    std::string self = info.dli_fname;
    auto slash = self.rfind('/');
    if (slash != std::string::npos) {
      std::string candidate = self.substr(0, slash + 1) + name;
      if (Exists(candidate)) return candidate;
    }
  }
  return buildPath;
}

bool GoneStatus(NTSTATUS s) {
  return s == STATUS_DEVICE_REMOVED || s == STATUS_NO_SUCH_DEVICE || s == STATUS_DELETE_PENDING ||
         s == STATUS_DEVICE_NOT_CONNECTED;
}

bool RefusedStatus(NTSTATUS s) {
  return s == STATUS_NOT_SUPPORTED || s == STATUS_INVALID_DEVICE_REQUEST || s == STATUS_INVALID_PARAMETER;
}

ULONG Code(Op op, std::uint32_t vendor) {
  switch (op) {
    case Op::Power: return IOCTL_SMARTCARD_POWER;
    case Op::SetProtocol: return IOCTL_SMARTCARD_SET_PROTOCOL;
    case Op::Transmit: return IOCTL_SMARTCARD_TRANSMIT;
    case Op::GetAttribute: return IOCTL_SMARTCARD_GET_ATTRIBUTE;
    case Op::GetState: return IOCTL_SMARTCARD_GET_STATE;
    case Op::Vendor: return vendor;
  }
  return 0;
}

// One request in flight, shared by the waiting caller and the system thread.
struct Pending {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  Reply reply;
  std::shared_ptr<vk::UserRequest> request;  // touched on the loop thread only
};

class RealStack final : public Stack {
 public:
  explicit RealStack(std::string device) : device_(std::move(device)) {}

  ~RealStack() override {
    {
      std::lock_guard<std::mutex> lock(life_);
      stop_ = true;
      if (sys_) sys_->Post([] {});  // wakes the loop so that it sees stop_
    }
    if (loop_.joinable()) loop_.join();
  }

  bool Boot(std::string* error) {
    std::promise<std::string> booted;
    auto result = booted.get_future();
    loop_ = std::thread([this, &booted] { Loop(booted); });
    *error = result.get();
    return error->empty();
  }

  Reply Control(int slot, Op op, const Bytes& input, std::uint32_t outputLength, int timeoutMs,
                std::uint32_t code) override {
    Reply gone;
    if (gone_ || stop_ || !running_) return gone;
    if (slot == 1 && !samFile_) return gone;
    auto p = std::make_shared<Pending>();
    Bytes in = input;
    if (slot == 1) in.insert(in.begin(), 0x00);  // the SAM driver's reader index
    ULONG ioctl = Code(op, code);
    sys_->Post([this, p, in = std::move(in), ioctl, outputLength, slot] {
      sys_->CreateThread("ifd", [this, p, in, ioctl, outputLength, slot] {
        Reply r;
        PFILE_OBJECT file = slot == 1 ? samFile_ : file_;
        if (!port_->IsOpen() && everOpen_) gone_ = true;
        if (gone_ || !file) {
          r.kind = Reply::Kind::Gone;
        } else {
          p->request = sys_->StartIoControl(file, ioctl, in.data(), ULONG(in.size()), outputLength);
          sys_->Wait(p->request);
          r.status = p->request->status;
          r.output = p->request->output;
          if (NT_SUCCESS(r.status)) r.kind = Reply::Kind::Ok;
          else if (GoneStatus(r.status)) r.kind = Reply::Kind::Gone;
          else if (RefusedStatus(r.status)) r.kind = Reply::Kind::Refused;
          else r.kind = Reply::Kind::Failed;
          if (port_->IsOpen()) everOpen_ = true;
          else if (everOpen_) gone_ = true;
          if (r.kind == Reply::Kind::Gone) gone_ = true;
        }
        std::lock_guard<std::mutex> lock(p->mutex);
        p->reply = std::move(r);
        p->done = true;
        p->cv.notify_all();
      });
    });
    std::unique_lock<std::mutex> lock(p->mutex);
    if (p->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return p->done; })) return p->reply;
    lock.unlock();
    std::fprintf(stderr, "ifd-vx7: request 0x%08X on slot %d not done after %d ms: cancelling it\n", unsigned(ioctl),
                 slot, timeoutMs);
    sys_->Post([this, p] {
      sys_->CreateThread("ifd cancel", [this, p] {
        if (p->request) sys_->CancelRequest(p->request);
      });
    });
    lock.lock();
    if (p->cv.wait_for(lock, std::chrono::seconds(5), [&] { return p->done; })) return p->reply;
    Reply timedOut;
    timedOut.kind = Reply::Kind::TimedOut;
    return timedOut;
  }

  bool Gone() const override { return gone_; }

 private:
  void Loop(std::promise<std::string>& booted) {
    vk::System::Options so;
    so.realTime = true;
    {
      std::lock_guard<std::mutex> lock(life_);
      sys_ = std::make_unique<vk::System>(so);
    }
    port_ = &sys_->AddSerialPort(1);
    std::string error = BootDrivers();
    running_ = error.empty();
    if (!running_) {
      Teardown();
      booted.set_value(error);
      return;
    }
    booted.set_value(error);  // `booted` is not touched after this
    sys_->RunUntil([this] { return stop_.load(); });
    running_ = false;
    Teardown();
  }

  std::string BootDrivers() {
    tty_ = std::make_unique<vk::TtyLine>(*sys_, *port_);
    std::string error;
    if (!tty_->Open(device_, &error)) {
      tty_.reset();
      return device_ + ": " + error;
    }
    std::string rdPath = LocateDriver("vx7rd.so", VX7RD_PATH), samPath = LocateDriver("vx7sam.so", VX7SAM_PATH);
    NTSTATUS s = sys_->LoadDriver(rdPath, L"\\Driver\\vx7rd", &rd_);
    if (!NT_SUCCESS(s)) return "cannot load " + rdPath + ": " + vk::StatusText(s);
    s = sys_->AddDevice(rd_, port_->Device());
    if (!NT_SUCCESS(s)) return "AddDevice: " + vk::StatusText(s);
    s = sys_->StartDevice(port_->Device());
    if (!NT_SUCCESS(s)) return "the reader did not start on " + device_ + ": " + vk::StatusText(s);
    s = sys_->LoadDriver(samPath, L"\\Driver\\vx7sam", &sam_);
    if (!NT_SUCCESS(s)) {
      std::fprintf(stderr, "ifd-vx7: cannot load %s: %s (no SAM slot)\n", samPath.c_str(), vk::StatusText(s).c_str());
      sam_ = nullptr;
    }
    sys_->Run([&] {
      for (auto& i : sys_->Interfaces())
        if (i.guid.Data1 == 0x50DD5230 && i.enabled && !file_) sys_->Open(i.link, &file_);
      if (sam_) sys_->Open(L"\\DosDevices\\VX7SAM", &samFile_);
    });
    if (!file_) return "the reader interface did not appear on " + device_;
    everOpen_ = port_->IsOpen();
    return {};
  }

  void Teardown() {
    if (file_) sys_->Close(file_);
    if (samFile_) sys_->Close(samFile_);
    file_ = samFile_ = nullptr;
    if (port_->Device()->AttachedDevice) sys_->RemoveDevice(port_->Device());
    if (sam_) sys_->UnloadDriver(sam_);
    if (rd_) sys_->UnloadDriver(rd_);
    tty_.reset();
    sys_->CheckTeardown();
    std::lock_guard<std::mutex> lock(life_);
    sys_.reset();
  }

  std::string device_;
  std::thread loop_;
  std::atomic<bool> stop_{false}, running_{false}, gone_{false};
  std::mutex life_;  // guards sys_ being created and destroyed against a wake-up post
  std::unique_ptr<vk::System> sys_;
  vk::SerialPort* port_ = nullptr;
  std::unique_ptr<vk::TtyLine> tty_;
  PDRIVER_OBJECT rd_ = nullptr, sam_ = nullptr;
  PFILE_OBJECT file_ = nullptr, samFile_ = nullptr;
  bool everOpen_ = false;  // loop thread only
};

}  // namespace

std::unique_ptr<Stack> Stack::Start(const std::string& device, std::string* error) {
  auto stack = std::make_unique<RealStack>(device);
  if (!stack->Boot(error)) return nullptr;
  return stack;
}

std::uint32_t Stack::DriverControlCode(std::uint32_t pcscCode) {
  if (pcscCode >= kPcscControlBase && pcscCode < kPcscControlBase + 0x1000)
    return SCARD_CTL_CODE(pcscCode - kPcscControlBase);
  return pcscCode;
}

bool Stack::IsVendorControl(std::uint32_t code) {
  if ((code >> 16) != FILE_DEVICE_SMARTCARD) return false;
  std::uint32_t function = (code >> 2) & 0xFFF;
  return function >= kVendorFunctionFirst;
}

}  // namespace vx7ifd
