// The whole stack: the reader driver loaded as its own shared object above
// serial port 1, a simulated reader on the far end, and an application that
// opens the reader through its interface.
#pragma once

#include <cstring>
#include <deque>
#include <memory>

#include "reader/frame/records.h"
#include "sim/reader.h"
#include "support/testing.h"

namespace vkt {

using ByteVec = std::vector<std::uint8_t>;

class Stack : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    ASSERT_EQ(sys().LoadDriver(VX7RD_PATH, L"\\Driver\\vx7rd", &driver), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (auto& r : readers) {
      if (r.file) sys().Close(r.file);
      if (r.fdo()) sys().RemoveDevice(r.port->Device());
    }
    if (sam) sys().UnloadDriver(sam);
    sys().UnloadDriver(driver);
    readers.clear();
    SystemTest::TearDown();
  }

  struct Reader {
    vk::SerialPort* port = nullptr;
    std::unique_ptr<sim::Reader> sim;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT fdo() const { return port->Device()->AttachedDevice; }
    PDEVICE_EXTENSION de() const { return static_cast<PDEVICE_EXTENSION>(fdo()->DeviceExtension); }
    READER_EXTENSION* card() const { return de()->SmartcardExtension.ReaderExtension; }
  };

  static sim::ReaderConfig DefaultConfig() {
    sim::ReaderConfig config;
    config.userCard = sim::MakeT1Card();
    config.sam = sim::MakeSam();
    config.seed = Seed();
    return config;
  }

  // Plugs a simulated reader into a new port and has the manager start it.
  Reader& Plug(sim::ReaderConfig config = DefaultConfig(), unsigned portIndex = 0, bool start = true) {
    readers.emplace_back();
    Reader& r = readers.back();
    r.port = &sys().AddSerialPort(portIndex ? portIndex : unsigned(readers.size()));
    r.sim = std::make_unique<sim::Reader>(*r.port, config);
    EXPECT_EQ(sys().AddDevice(driver, r.port->Device()), STATUS_SUCCESS);
    if (start) {
      EXPECT_EQ(sys().StartDevice(r.port->Device()), STATUS_SUCCESS);
    }
    return r;
  }

  // Opens the reader as an application does: through its interface.
  PFILE_OBJECT Open(Reader& r) {
    for (auto& i : sys().Interfaces()) {
      if (i.pdo == r.port->Device() && i.guid.Data1 == 0x50DD5230) {
        EXPECT_EQ(sys().Open(i.link, &r.file), STATUS_SUCCESS);
        return r.file;
      }
    }
    ADD_FAILURE() << "no reader interface";
    return nullptr;
  }

  struct Result {
    NTSTATUS status;
    ByteVec data;
  };
  Result Control(PFILE_OBJECT file, ULONG code, const ByteVec& input, ULONG outputLength, bool internal = false) {
    auto request = sys().IoControl(file, code, input.data(), ULONG(input.size()), outputLength, internal);
    return {request->status, request->output};
  }
  static ByteVec Ulong(ULONG v) {
    ByteVec b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  }
  // An IOCTL_SMARTCARD_TRANSMIT input: the request header, then the command.
  static ByteVec Transmit(ULONG protocol, const ByteVec& apdu) {
    ULONG header[2] = {protocol, 8};
    ByteVec in(8 + apdu.size());
    std::memcpy(in.data(), header, 8);
    std::copy(apdu.begin(), apdu.end(), in.begin() + 8);
    return in;
  }
  void Wait(vk::Nanos duration) {
    LARGE_INTEGER t;
    t.QuadPart = -(duration / 100);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
  }

  PDRIVER_OBJECT driver = nullptr;
  PDRIVER_OBJECT sam = nullptr;
  std::deque<Reader> readers;
};

}  // namespace vkt
