// vx7: the command-line program of the VX710RD driver stack.
//
//   vx7 demo [--seed N] [--firmware DDDD] [--log] [--trace]
//   vx7 apdu [--slot card|sam] [--protocol t0|t1] [--card t0|t1|dual] [--seed N] HEX...
//
// Both boot the emulated system, load vx7rd and vx7sam, plug a simulated
// reader into serial port 1 and talk to it the way the PC/SC resource
// manager does, printing each request, its NTSTATUS and the virtual time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/smclib.h"
#include "sim/reader.h"
#include "vk/atr_analysis.h"
#include "vk/serial_port.h"
#include "vk/system.h"
#include "vk/tty_line.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

#define IOCTL_SMARTCARD_MRV_MEM_TRANSMIT SCARD_CTL_CODE(2048)
#define IOCTL_SMARTCARD_GET_READER_TYPE SCARD_CTL_CODE(2049)

struct Options {
  std::uint64_t seed = 1;
  std::string firmware = "0011";
  bool log = false;
  bool trace = false;
  bool sam = false;
  ULONG protocol = SCARD_PROTOCOL_T1;
  std::string card = "t1";
  std::vector<Bytes> apdus;
  std::string port;  // a real serial device: real time instead of the simulator
  bool json = false;
};

int Usage(const char* error = nullptr) {
  if (error) std::fprintf(stderr, "vx7: %s\n", error);
  std::fputs(
      "usage:\n"
      "  vx7 demo [--seed N] [--firmware DDDD] [--log] [--trace]\n"
      "      a whole session on the built-in simulated reader\n"
      "  vx7 atr HEX [--json]\n"
      "      the smart card library's analysis of an answer-to-reset\n"
      "  vx7 apdu [--slot card|sam] [--protocol t0|t1] [--card t0|t1|dual] [--seed N] [--port PATH] HEX...\n"
      "      send APDUs to a simulated card, or with --port in real time to the reader on a serial\n"
      "      device (/dev/ttyS*, /dev/ttyUSB*, or the pty of vx7-readersim --pty);\n"
      "      exit status 1 when a request fails, 2 for a usage error\n",
      error ? stderr : stdout);
  return 2;
}

bool ParseHex(const std::string& text, Bytes* out) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != ':') digits.push_back(c);
  if (digits.empty() || digits.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    char* end = nullptr;
    std::string pair = digits.substr(i, 2);
    long v = std::strtol(pair.c_str(), &end, 16);
    if (*end) return false;
    out->push_back(std::uint8_t(v));
  }
  return true;
}

// One booted system with the two drivers and a simulated reader.
class Machine {
 public:
  explicit Machine(const Options& o) : options_(o) {
    vk::System::Options so;
    so.seed = o.seed;
    so.echoLog = o.log;
    so.realTime = !o.port.empty();
    sys_ = std::make_unique<vk::System>(so);
    port_ = &sys_->AddSerialPort(1);
    if (!o.port.empty()) {
      tty_ = std::make_unique<vk::TtyLine>(*sys_, *port_);
      if (!tty_->Open(o.port, &error_)) tty_.reset();
      return;
    }
    sim::ReaderConfig config;
    config.firmware = o.firmware;
    config.seed = o.seed;
    config.userCard = nullptr;
    config.sam = sim::MakeSam(o.seed);
    reader_ = std::make_unique<sim::Reader>(*port_, config);
    if (o.trace)
      reader_->GetTrace().SetSink([](const sim::TraceEntry& e) { std::printf("  line %s\n", sim::Trace::Format(e).c_str()); });
  }
  ~Machine() {
    if (file_) sys_->Close(file_);
    if (samFile_) sys_->Close(samFile_);
    if (port_->Device()->AttachedDevice) sys_->RemoveDevice(port_->Device());
    if (sam_) sys_->UnloadDriver(sam_);
    if (rd_) sys_->UnloadDriver(rd_);
    sys_->CheckTeardown();
    for (auto& v : sys_->Violations()) std::printf("verifier: %s: %s\n", vk::RuleName(v.rule), v.message.c_str());
  }

  vk::System& sys() { return *sys_; }
  sim::Reader* reader() { return reader_.get(); }

  bool Boot() {
    if (!options_.port.empty() && !tty_) {
      std::fprintf(stderr, "vx7: %s\n", error_.c_str());
      return false;
    }
    NTSTATUS s = sys_->LoadDriver(VX7RD_PATH, L"\\Driver\\vx7rd", &rd_);
    Step("load vx7rd", s);
    if (!NT_SUCCESS(s)) return false;
    s = sys_->AddDevice(rd_, port_->Device());
    Step("AddDevice on \\Device\\Serial1", s);
    if (!NT_SUCCESS(s)) return false;
    s = sys_->StartDevice(port_->Device());
    Step("IRP_MN_START_DEVICE", s);
    if (!NT_SUCCESS(s)) return false;
    s = sys_->LoadDriver(VX7SAM_PATH, L"\\Driver\\vx7sam", &sam_);
    Step("load vx7sam", s);
    sys_->Run([&] {
      for (auto& i : sys_->Interfaces())
        if (i.guid.Data1 == 0x50DD5230 && i.enabled) sys_->Open(i.link, &file_);
      if (sam_) sys_->Open(L"\\DosDevices\\VX7SAM", &samFile_);
    });
    if (!file_) std::fprintf(stderr, "vx7: the reader did not start (no reader answering?)\n");
    return file_ != nullptr;
  }

  void Step(const std::string& what, NTSTATUS status, const Bytes& data = {}) {
    std::printf("[%11.6f s] %-44s %s", double(sys_->Now()) / 1e9, what.c_str(), vk::StatusText(status).c_str());
    if (!data.empty()) std::printf("\n%16s%s", "", vk::Hex(data).c_str());
    std::printf("\n");
  }

  // A device control on the card slot, or on the SAM slot through \Device\VX7SAM.
  NTSTATUS Control(const std::string& what, ULONG code, Bytes input, ULONG outputLength, Bytes* output = nullptr,
                   bool samSlot = false) {
    PFILE_OBJECT file = file_;
    if (samSlot) {
      input.insert(input.begin(), 0x00);  // reader index 0
      file = samFile_;
    }
    std::shared_ptr<vk::UserRequest> request;
    sys_->Run([&] { request = sys_->IoControl(file, code, input.data(), ULONG(input.size()), outputLength); });
    Step(what, request->status, request->output);
    if (output) *output = request->output;
    return request->status;
  }

  std::shared_ptr<vk::UserRequest> Start(ULONG code) {
    return sys_->StartIoControl(file_, code, nullptr, 0, 0);
  }

  static Bytes Ulong(ULONG v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  }
  static Bytes Transmit(ULONG protocol, const Bytes& apdu) {
    Bytes in = Ulong(protocol);
    Bytes length = Ulong(8);
    in.insert(in.end(), length.begin(), length.end());
    in.insert(in.end(), apdu.begin(), apdu.end());
    return in;
  }

 private:
  Options options_;
  std::unique_ptr<vk::System> sys_;
  vk::SerialPort* port_ = nullptr;
  std::unique_ptr<sim::Reader> reader_;
  std::unique_ptr<vk::TtyLine> tty_;
  std::string error_;
  PDRIVER_OBJECT rd_ = nullptr;
  PDRIVER_OBJECT sam_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
  PFILE_OBJECT samFile_ = nullptr;
};

void Heading(const char* text) { std::printf("\n== %s\n", text); }

// The library's analysis of an answer-to-reset for this reader.
vk::smclib::AtrAnalysis Analyze(const Bytes& atr) {
  static const std::uint32_t kRates[] = {9600, 19200, 38400};
  vk::smclib::AtrReader reader;
  reader.dataRates = kRates;
  return vk::smclib::AnalyzeAtr(atr, reader);
}

std::string Protocols(const vk::smclib::AtrAnalysis& a, const char* separator) {
  std::string list;
  for (int t = 0; t < 16; ++t)
    if (a.offered & (1u << t)) list += (list.empty() ? "" : separator) + std::to_string(t);
  return list;
}

std::string Json(const vk::smclib::AtrAnalysis& a) {
  char text[1024];
  Bytes historical(a.historical, a.historical + a.historicalLength);
  std::string hex;
  for (auto b : historical) {
    char h[3];
    std::snprintf(h, sizeof h, "%02X", b);
    hex += h;
  }
  std::snprintf(text, sizeof text,
                "{\"valid\": %s, \"convention\": \"%s\", \"protocols\": [%s], \"Fi\": %u, \"Di\": %u, "
                "\"FI\": %u, \"DI\": %u, \"N\": %u, \"WI\": %u, \"IFSC\": %u, \"CWI\": %u, \"BWI\": %u, "
                "\"EDC\": \"%s\", \"specific\": %s, \"historical\": \"%s\", \"tck_ok\": %s, "
                "\"pts\": {\"Fl\": %u, \"Dl\": %u}, \"state\": \"%s\", \"error\": \"%s\"}",
                a.valid ? "true" : "false", a.inverse ? "inverse" : "direct", Protocols(a, ", ").c_str(), a.f, a.d,
                a.fi, a.di, a.n, a.wi, a.ifsc, a.cwi, a.bwi, (a.edc & 1) ? "CRC" : "LRC", a.specific ? "true" : "false",
                hex.c_str(), !a.tckNeeded ? "null" : (a.tckOk ? "true" : "false"), a.ptsFl, a.ptsDl,
                a.state == SCARD_SPECIFIC ? "specific" : "negotiable", a.error);
  return text;
}

void PrintAnalysis(const Bytes& atr) {
  auto a = Analyze(atr);
  if (!a.valid) {
    std::printf("%16sanswer-to-reset not valid: %s\n", "", a.error);
    return;
  }
  std::printf("%16s%s convention, T=%s, F=%u D=%u, N=%u, %s mode, PTS Fl=%u Dl=%u (%u bit/s)\n", "",
              a.inverse ? "inverse" : "direct", Protocols(a, ",").c_str(), a.f, a.d, a.n,
              a.specific ? "specific" : "negotiable", a.ptsFl, a.ptsDl, a.ptsRate);
}

int AtrCommand(const std::vector<Bytes>& args, bool json) {
  if (args.empty()) return Usage("atr takes an answer-to-reset in hex");
  Bytes atr;
  for (const Bytes& part : args) atr.insert(atr.end(), part.begin(), part.end());
  auto a = Analyze(atr);
  if (json) {
    std::printf("%s\n", Json(a).c_str());
  } else {
    std::printf("%s\n", vk::Hex(atr).c_str());
    PrintAnalysis(atr);
  }
  return a.valid ? 0 : 1;
}

// A processor card session: cold reset, protocol, some APDUs, power down.
bool CardSession(Machine& m, ULONG protocol, const std::vector<Bytes>& apdus) {
  bool ok = true;
  Bytes atr;
  ok &= m.Control("IOCTL_SMARTCARD_POWER cold reset", IOCTL_SMARTCARD_POWER, Machine::Ulong(SCARD_COLD_RESET), 64, &atr) ==
        STATUS_SUCCESS;
  PrintAnalysis(atr);
  Bytes selected;
  ok &= m.Control(std::string("IOCTL_SMARTCARD_SET_PROTOCOL ") + (protocol == SCARD_PROTOCOL_T1 ? "T=1" : "T=0"),
                  IOCTL_SMARTCARD_SET_PROTOCOL, Machine::Ulong(protocol), 4, &selected) == STATUS_SUCCESS;
  for (const Bytes& apdu : apdus) {
    Bytes reply;
    ok &= m.Control("IOCTL_SMARTCARD_TRANSMIT " + vk::Hex(apdu), IOCTL_SMARTCARD_TRANSMIT,
                    Machine::Transmit(protocol, apdu), 1024, &reply) == STATUS_SUCCESS;
  }
  return ok;
}

int Demo(const Options& o) {
  Machine m(o);
  Heading("boot");
  if (!m.Boot()) return 1;
  bool ok = true;

  Heading("reader identification");
  ok &= m.Control("IOCTL_SMARTCARD_GET_READER_TYPE", IOCTL_SMARTCARD_GET_READER_TYPE, {}, 16) == STATUS_SUCCESS;
  ok &= m.Control("GET_ATTRIBUTE vendor name", IOCTL_SMARTCARD_GET_ATTRIBUTE, Machine::Ulong(SCARD_ATTR_VENDOR_NAME), 32) ==
        STATUS_SUCCESS;

  Heading("wait for a card, insert a T=1 card");
  auto present = m.Start(IOCTL_SMARTCARD_IS_PRESENT);
  m.reader()->InsertCard(sim::MakeT1Card(o.seed), 0, m.sys().Now() + 2 * vk::kSecond);
  m.sys().Wait(present);
  m.Step("IOCTL_SMARTCARD_IS_PRESENT", present->status);
  ok &= CardSession(m, SCARD_PROTOCOL_T1, {{0x00, 0x84, 0x00, 0x00, 0x08}});

  Heading("remove it, insert a T=0 card");
  auto absent = m.Start(IOCTL_SMARTCARD_IS_ABSENT);
  m.reader()->RemoveCard(0, m.sys().Now() + vk::kSecond);
  m.sys().Wait(absent);
  m.Step("IOCTL_SMARTCARD_IS_ABSENT", absent->status);
  m.reader()->InsertCard(sim::MakeT0Card(o.seed), 0);
  ok &= CardSession(m, SCARD_PROTOCOL_T0,
                    {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x00}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x01},
                     {0x00, 0xB0, 0x00, 0x00, 0x10}});

  Heading("a memory card through the vendor control");
  m.reader()->RemoveCard(0);
  m.reader()->InsertCard(sim::MakeMemoryCard(), 0, m.sys().Now() + vk::kSecond);
  present = m.Start(IOCTL_SMARTCARD_IS_PRESENT);
  m.sys().Wait(present);
  ok &= m.Control("IOCTL_SMARTCARD_POWER cold reset", IOCTL_SMARTCARD_POWER, Machine::Ulong(SCARD_COLD_RESET), 64) ==
        STATUS_SUCCESS;
  ok &= m.Control("IOCTL_SMARTCARD_MRV_MEM_TRANSMIT read 16 at 0", IOCTL_SMARTCARD_MRV_MEM_TRANSMIT,
                  {0x01, 0x00, 0x00, 0x10}, 64) == STATUS_SUCCESS;

  Heading("the SAM through \\Device\\VX7SAM");
  ok &= m.Control("IOCTL_SMARTCARD_POWER cold reset (SAM)", IOCTL_SMARTCARD_POWER, Machine::Ulong(SCARD_COLD_RESET), 64,
                  nullptr, true) == STATUS_SUCCESS;
  ok &= m.Control("IOCTL_SMARTCARD_SET_PROTOCOL T=0 (SAM)", IOCTL_SMARTCARD_SET_PROTOCOL,
                  Machine::Ulong(SCARD_PROTOCOL_T0), 4, nullptr, true) == STATUS_SUCCESS;
  ok &= m.Control("IOCTL_SMARTCARD_TRANSMIT 00 84 00 00 08 (SAM)", IOCTL_SMARTCARD_TRANSMIT,
                  Machine::Transmit(SCARD_PROTOCOL_T0, {0x00, 0x84, 0x00, 0x00, 0x08}), 64, nullptr, true) ==
        STATUS_SUCCESS;

  Heading("remove the card");
  absent = m.Start(IOCTL_SMARTCARD_IS_ABSENT);
  m.reader()->RemoveCard(0, m.sys().Now() + vk::kSecond);
  m.sys().Wait(absent);
  m.Step("IOCTL_SMARTCARD_IS_ABSENT", absent->status);
  Bytes state;
  m.Control("IOCTL_SMARTCARD_GET_STATE", IOCTL_SMARTCARD_GET_STATE, {}, 4, &state);

  std::printf("\n%s\n", ok ? "demo finished: every request succeeded" : "demo finished with failures");
  return ok ? 0 : 1;
}

int Apdu(const Options& o) {
  if (o.apdus.empty()) return Usage("no APDU given");
  Machine m(o);
  if (!o.sam && m.reader()) {
    std::shared_ptr<sim::ProcessorCard> card =
        o.card == "t0" ? sim::MakeT0Card(o.seed) : o.card == "dual" ? sim::MakeDualCard(o.seed) : sim::MakeT1Card(o.seed);
    m.reader()->InsertCard(card, 0);
  }
  if (!m.Boot()) return 1;
  bool ok = m.Control("IOCTL_SMARTCARD_POWER cold reset", IOCTL_SMARTCARD_POWER, Machine::Ulong(SCARD_COLD_RESET), 64,
                      nullptr, o.sam) == STATUS_SUCCESS;
  ok = ok && m.Control("IOCTL_SMARTCARD_SET_PROTOCOL", IOCTL_SMARTCARD_SET_PROTOCOL, Machine::Ulong(o.protocol), 4,
                       nullptr, o.sam) == STATUS_SUCCESS;
  for (const Bytes& apdu : o.apdus) {
    if (!ok) break;
    Bytes reply;
    ok = m.Control("IOCTL_SMARTCARD_TRANSMIT " + vk::Hex(apdu), IOCTL_SMARTCARD_TRANSMIT,
                   Machine::Transmit(o.protocol, apdu), 1024, &reply, o.sam) == STATUS_SUCCESS;
    if (ok && reply.size() >= 10) {
      Bytes data(reply.begin() + 8, reply.end() - 2);
      std::printf("response %s  SW %02X%02X\n", vk::Hex(data).c_str(), reply[reply.size() - 2], reply.back());
    }
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    Usage();
    return 0;
  }
  Options o;
  if (command == "apdu") o.protocol = SCARD_PROTOCOL_T1;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (a == "--seed") {
      o.seed = std::strtoull(value().c_str(), nullptr, 0);
    } else if (a == "--firmware") {
      o.firmware = value();
      if (o.firmware.size() != 4) return Usage("--firmware takes four digits");
    } else if (a == "--log") {
      o.log = true;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--slot") {
      std::string v = value();
      if (v != "card" && v != "sam") return Usage("--slot is card or sam");
      o.sam = v == "sam";
    } else if (a == "--protocol") {
      std::string v = value();
      if (v != "t0" && v != "t1") return Usage("--protocol is t0 or t1");
      o.protocol = v == "t0" ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    } else if (a == "--card") {
      o.card = value();
      if (o.card != "t0" && o.card != "t1" && o.card != "dual") return Usage("--card is t0, t1 or dual");
    } else if (a == "--port") {
      o.port = value();
      if (o.port.empty()) return Usage("--port takes a device path");
    } else if (a == "--json") {
      o.json = true;
    } else if ((command == "apdu" || command == "atr") && a[0] != '-') {
      Bytes apdu;
      if (!ParseHex(a, &apdu)) return Usage(("malformed hex: " + a).c_str());
      o.apdus.push_back(apdu);
    } else {
      return Usage(("unknown option " + a).c_str());
    }
  }
  if (command == "apdu" && o.sam) o.protocol = SCARD_PROTOCOL_T0;
  if (command == "demo" && !o.port.empty()) return Usage("the demo runs on the simulated reader; use apdu with --port");
  if (command == "demo") return Demo(o);
  if (command == "apdu") return Apdu(o);
  if (command == "atr") return AtrCommand(o.apdus, o.json);
  return Usage(("unknown command " + command).c_str());
}
