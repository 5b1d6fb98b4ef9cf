// The reader link: frames, reply collection and verification, the exchange
// with its time-outs and retries, and the command set's reader-type reply.
#include <cstring>
#include <random>

#include "reader_fixture.h"
#include "sim/reader.h"

namespace {

using vk::kMillisecond;
using vk::kSecond;
using vk::Nanos;
using Bytes = std::vector<std::uint8_t>;

Bytes Frame(Bytes payload) {
  Bytes frame(1048);
  ULONG length = 0;
  payload.reserve(1);  // a payload buffer exists even when it holds nothing
  EXPECT_EQ(Vxr_BuildFrame(frame.data(), 1048, payload.data(), ULONG(payload.size()), &length), STATUS_SUCCESS);
  frame.resize(length);
  return frame;
}

TEST(Framing, ExamplesAndStuffing) {
  struct Case {
    Bytes payload;
    Bytes frame;
  };
  const Case cases[] = {
      {{}, {0x10, 0x02, 0x00, 0x10, 0x03}},
      {{0x62, 0x00, 0x00}, {0x10, 0x02, 0x62, 0x00, 0x00, 0x62, 0x10, 0x03}},
      {{0x10}, {0x10, 0x02, 0x10, 0x10, 0x10, 0x10, 0x10, 0x03}},
      {{0x12, 0x02}, {0x10, 0x02, 0x12, 0x02, 0x10, 0x10, 0x10, 0x03}},  // check byte 0x10 doubled
  };
  for (const auto& c : cases) EXPECT_EQ(Frame(c.payload), c.frame);

  ULONG length = 0;
  UCHAR frame[1048];
  UCHAR payload[1044];
  std::memset(payload, 0x41, sizeof payload);  // check of 1043 bytes: 0x41
  EXPECT_EQ(Vxr_BuildFrame(frame, 1048, payload, 1043, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 1048u);
  EXPECT_EQ(Vxr_BuildFrame(frame, 1048, payload, 1044, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Vxr_BuildFrame(frame, 6, payload, 0, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Vxr_BuildFrame(nullptr, 1048, payload, 1, &length), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(Vxr_BuildFrame(frame, 1048, nullptr, 1, &length), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(Vxr_BuildFrame(frame, 1048, payload, 1, nullptr), STATUS_DEVICE_DATA_ERROR);
}

TEST(Framing, VerifyDecodesInPlaceAndJudges) {
  struct Case {
    Bytes raw;
    LONG result;
    Bytes decoded;
  };
  const Case cases[] = {
      {{0x10, 0x02, 0x62, 0x00, 0x00, 0x62, 0x10, 0x03}, RDD_FRAME_OK, {0x62, 0x00, 0x00, 0x62}},
      {{0x10, 0x02, 0x10, 0x10, 0x10, 0x10, 0x10, 0x03}, RDD_FRAME_OK, {0x10, 0x10}},
      {{0x10, 0x02, 0x15, 0x15, 0x10, 0x03}, RDDERR_NAK, {}},
      {{0x10, 0x02, 0x62, 0x00, 0x00, 0x63, 0x10, 0x03}, RDDERR_DUE, {}},
      {{0x10, 0x02, 0x41, 0x10, 0x02, 0x41, 0x10, 0x03}, RDDERR_DUE, {}},
      {{0x41, 0x42, 0x10, 0x03}, RDDERR_INCOMPLETE, {}},
      {{0x10, 0x02, 0x41, 0x41}, RDDERR_INCOMPLETE, {}},
      {{}, RDDERR_INCOMPLETE, {}},
  };
  for (const auto& c : cases) {
    Bytes buffer = c.raw;
    buffer.resize(std::max<size_t>(buffer.size(), 1));
    ULONG length = ULONG(c.raw.size());
    EXPECT_EQ(Vxr_VerifyFrame(buffer.data(), &length), c.result) << vk::Hex(c.raw);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), c.decoded) << vk::Hex(c.raw);
  }
  UCHAR any = 0;
  ULONG invalid = 0xFFFFFFFF;
  EXPECT_EQ(Vxr_VerifyFrame(&any, &invalid), RDDERR_DUE);
  EXPECT_EQ(invalid, 0u);
}

// Collects `stream` cut at `cuts` and verifies what was collected.
Bytes CollectAndVerify(const Bytes& stream, const std::vector<size_t>& cuts, LONG* result) {
  static READER_EXTENSION re;
  std::memset(&re, 0, sizeof re);
  SMARTCARD_EXTENSION sc{};
  sc.ReaderExtension = &re;
  size_t from = 0;
  Bytes copy = stream;
  for (size_t cut : cuts) {
    Vxr_CollectReply(&sc, copy.data() + from, ULONG(cut - from));
    from = cut;
  }
  Vxr_CollectReply(&sc, copy.data() + from, ULONG(copy.size() - from));
  *result = Vxr_VerifyFrame(re.ReceiveBuffer, &re.ReceivedLength);
  return Bytes(re.ReceiveBuffer, re.ReceiveBuffer + re.ReceivedLength);
}

TEST(Collection, AReplySplitAnywhereBehindNoiseDecodesAsOne) {
  Bytes stream = {0x55, 0xAA, 0x03, 0x02};  // noise without DLE ETX
  Bytes frame = Frame({0x64, 0x00, 0x00, 0x03, 0x10, 0x02, 0x03});
  stream.insert(stream.end(), frame.begin(), frame.end());
  LONG result;
  Bytes whole = CollectAndVerify(stream, {}, &result);
  ASSERT_EQ(result, RDD_FRAME_OK);
  EXPECT_EQ(whole, Bytes({0x64, 0x00, 0x00, 0x03, 0x10, 0x02, 0x03, 0x76}));
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(CollectAndVerify(stream, {cut}, &result), whole) << "cut at " << cut;
    EXPECT_EQ(result, RDD_FRAME_OK);
  }
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < stream.size(); ++i)
      if (rng() % 3 == 0) cuts.push_back(i);
    EXPECT_EQ(CollectAndVerify(stream, cuts, &result), whole);
  }
  // A DLE STX inside the frame is stored with an extra DLE, so it decodes
  // as data and the check decides.
  Bytes inner = {0x10, 0x02, 0x41, 0x10, 0x02, 0x41, 0x10, 0x03};
  CollectAndVerify(inner, {}, &result);
  EXPECT_EQ(result, RDDERR_DUE);
  // DLE ETX with no DLE STX before it: nothing is stored.
  EXPECT_TRUE(CollectAndVerify({0x41, 0x10, 0x03}, {}, &result).empty());
  EXPECT_EQ(result, RDDERR_INCOMPLETE);
}

TEST(Collection, NeverStoresPastTheReceiveBuffer) {
  static READER_EXTENSION re;
  std::memset(&re, 0, sizeof re);
  SMARTCARD_EXTENSION sc{};
  sc.ReaderExtension = &re;
  Bytes endless = {0x10, 0x02};
  endless.resize(3000, 0x41);
  Vxr_CollectReply(&sc, endless.data(), 1024);
  EXPECT_FALSE(re.ReceiveOverflow);
  Vxr_CollectReply(&sc, endless.data() + 1024, 1024);
  EXPECT_TRUE(re.ReceiveOverflow);
  EXPECT_EQ(re.ReceivedLength, 1048u);
}

TEST(CommandSet, ReaderTypeReplySetsTheFirmwareSettings) {
  struct Case {
    const char* digits;
    UCHAR byte1;
    ULONG length;
    bool taken;
    BOOLEAN cardTypeByte, leFixup;
    UCHAR entries;
  };
  const Case cases[] = {
      {"0003", 0, 21, true, FALSE, TRUE, 1},  {"0009", 0, 21, true, TRUE, TRUE, 1},
      {"0010", 0, 21, true, TRUE, TRUE, 3},   {"0011", 0, 21, true, TRUE, FALSE, 3},
      {"0102", 0, 21, true, TRUE, FALSE, 3},  {"0011", 1, 21, false, FALSE, FALSE, 3},
      {"0003", 0, 12, false, FALSE, FALSE, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.digits);
    READER_EXTENSION re{};
    UCHAR reply[1048] = {};
    SMARTCARD_EXTENSION sc{};
    sc.ReaderExtension = &re;
    sc.SmartcardReply.Buffer = reply;
    sc.SmartcardReply.BufferLength = c.length;
    sc.ReaderCapabilities.DataRatesSupported.Entries = 3;
    reply[0] = 0x60;
    reply[1] = c.byte1;
    std::memcpy(reply + 4, "VX710??SIM  ", 12);
    std::memcpy(reply + 16, c.digits, 4);
    EXPECT_EQ(Vxr_ApplyReaderType(&sc) != FALSE, c.taken);
    EXPECT_EQ(re.CardTypeByte, c.cardTypeByte);
    EXPECT_EQ(re.LeFixup, c.leFixup);
    EXPECT_EQ(sc.ReaderCapabilities.DataRatesSupported.Entries, c.entries);
    if (c.taken) {
      EXPECT_EQ(re.ReaderId[9], 0x52);
      EXPECT_EQ(re.ReaderId[10], 0x44);
      EXPECT_EQ(std::memcmp(re.ReaderId + 12, c.digits, 4), 0);
    } else {
      EXPECT_EQ(re.ReaderId[0], 0);
    }
  }
}

// ------------------------------------------------------------ exchanges

class Exchange : public vkt::ReaderOnPort {
 protected:
  void Start() {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ASSERT_EQ(Vxr_ConfigureSerialPort(sc), STATUS_SUCCESS);
    port->SetRate(19200);
  }
  NTSTATUS Send(Bytes payload, PSMARTCARD_EXTENSION slot = nullptr) {
    slot = slot ? slot : sc;
    std::memcpy(slot->SmartcardRequest.Buffer, payload.data(), payload.size());
    slot->SmartcardRequest.BufferLength = ULONG(payload.size());
    return Vxr_ReaderExchange(slot);
  }
  Bytes Reply(PSMARTCARD_EXTENSION slot = nullptr) {
    slot = slot ? slot : sc;
    return Bytes(slot->SmartcardReply.Buffer, slot->SmartcardReply.Buffer + slot->SmartcardReply.BufferLength);
  }
  size_t Count(ULONG code, UCHAR major = IRP_MJ_DEVICE_CONTROL) {
    size_t n = 0;
    for (auto& r : port->Requests()) n += r.major == major && (major != IRP_MJ_DEVICE_CONTROL || r.ioControlCode == code);
    return n;
  }
  Nanos LogTime(const std::string& text) {
    long at = sys().FindLog(text);
    return at < 0 ? -1 : sys().Log()[size_t(at)].time;
  }
};

// With a silent or slow far end, each wait ends at its own virtual time.
TEST_F(Exchange, ReplyTimeoutsLandOnTheirExactVirtualTimes) {
  struct Case {
    const char* name;
    ULONG protocol;
    ULONG bwt;
    UCHAR wtx;
    Bytes answer;  // what the far end sends back at once
    Nanos timeout;
  };
  const Case cases[] = {
      {"no protocol yet", SCARD_PROTOCOL_UNDEFINED, 0, 0, {}, 300 * kSecond},
      {"T=0", SCARD_PROTOCOL_T0, 0, 0, {}, 300 * kSecond},
      {"T=1 floor", SCARD_PROTOCOL_T1, 1600000, 0, {}, 60 * kSecond},
      {"T=1 with WTX", SCARD_PROTOCOL_T1, 1600000, 50, {}, 80 * kSecond},
      {"after the first chunk", SCARD_PROTOCOL_UNDEFINED, 0, 0, {0x10, 0x02, 0x61}, 2 * kSecond},
  };
  ASSERT_TRUE(sys().Run([&] {
    Start();
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      sys().ClearLog();
      peer->received.clear();
      sc->CardCapabilities.Protocol.Selected = c.protocol;
      sc->CardCapabilities.T1.BWT = c.bwt;
      sc->T1.Wtx = c.wtx;
      Bytes answer = c.answer;
      peer->onByte = [&](std::uint8_t b) {
        if (b == 0x03 && !answer.empty()) peer->Send(answer);
      };
      Vxr_BuildCommand(sc, RDDCMD_READER_STATUS, 0);
      EXPECT_EQ(Vxr_ReadWrite(sc), STATUS_IO_TIMEOUT);
      Nanos written = peer->received.back().time;
      Nanos lastArrival = written + Nanos(answer.size()) * vk::CharacterTime(19200);
      EXPECT_EQ(LogTime("[Vxr_ReadWrite]Wait on mask TIMEOUT ! \n") - (answer.empty() ? written : lastArrival),
                c.timeout);
      EXPECT_FALSE(port->WaitPending());  // the timed-out wait was reclaimed
    }
    peer->onByte = nullptr;
    sc->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(Exchange, AWriteThatNeverEndsHitsTheTenSecondBackstop) {
  ASSERT_TRUE(sys().Run([&] {
    Start();
    port->AddFault({vk::SerialFault::Kind::Hold, IRP_MJ_WRITE, 0, 1});
    Vxr_BuildCommand(sc, RDDCMD_READER_TYPE, 0);
    sys().ClearLog();
    Nanos start = sys().Now();
    EXPECT_EQ(Vxr_ReadWrite(sc), STATUS_IO_TIMEOUT);
    EXPECT_EQ(LogTime("[Vxr_ReadWrite]Write data Timeout! \n") - start, 10 * kSecond);
    // The held write was cancelled and taken back before the call returned.
    EXPECT_EQ(sys().FindLog("[Vxr_ReadWrite]Write data fail ! \n"), -1);
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(Exchange, BytesWithoutAFrameStartAreAnIncompleteFrame) {
  ASSERT_TRUE(sys().Run([&] {
    Start();
    peer->onByte = [&](std::uint8_t b) {
      if (b == 0x03) peer->Send({0x41, 0x42, 0x10, 0x03});
    };
    Vxr_BuildCommand(sc, RDDCMD_READER_STATUS, 0);
    sys().ClearLog();
    EXPECT_EQ(Vxr_ReaderExchange(sc), RDDERR_INCOMPLETE);
    EXPECT_EQ(Count(0, IRP_MJ_WRITE), 3u);
    EXPECT_GE(sys().FindLog("[Vxr_ReadWrite] Invalid datablock received!\n"), 0);
    peer->onByte = nullptr;
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(Exchange, MoreBytesWaitingThanAChunkAreReadInPieces) {
  ASSERT_TRUE(sys().Run([&] {
    Start();
    Bytes reply(1100, 0x55);  // late bytes of nothing, then the frame
    Bytes frame = Frame({0x61, 0x00, 0x00, 0x00, 0x08});
    reply.insert(reply.end(), frame.begin(), frame.end());
    peer->onByte = [&](std::uint8_t b) {
      if (b == 0x03) peer->Send(reply);
    };
    vk::SerialFault slow{vk::SerialFault::Kind::Delay, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS, 1};
    slow.delay = 1 * kSecond;
    port->AddFault(slow);
    port->ClearRequests();
    Vxr_BuildCommand(sc, RDDCMD_READER_STATUS, 0);
    EXPECT_EQ(Vxr_ReadWrite(sc), STATUS_SUCCESS);
    EXPECT_EQ(Reply(), Bytes({0x61, 0x00, 0x00, 0x00, 0x08, 0x69}));
    std::vector<ULONG> reads;
    for (auto& r : port->Requests())
      if (r.major == IRP_MJ_READ) reads.push_back(r.length);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[0], 1024u);
    for (ULONG n : reads) EXPECT_LE(n, 1024u);
    peer->onByte = nullptr;
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(Exchange, AReplyLongerThanTheReceiveBufferFailsTheTry) {
  ASSERT_TRUE(sys().Run([&] {
    Start();
    Bytes endless = {0x10, 0x02};
    endless.resize(1200, 0x41);
    peer->onByte = [&](std::uint8_t b) {
      if (b == 0x03) peer->Send(endless);
    };
    Vxr_BuildCommand(sc, RDDCMD_READER_STATUS, 0);
    EXPECT_EQ(Vxr_ReadWrite(sc), STATUS_BUFFER_OVERFLOW);
    EXPECT_LE(re->ReceivedLength, 1048u);
    peer->onByte = nullptr;
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(Exchange, AFrameThatDoesNotFitIsNotSent) {
  ASSERT_TRUE(sys().Run([&] {
    Start();
    port->ClearRequests();
    Bytes payload(1044, 0x41);
    EXPECT_EQ(Send(payload), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(port->Requests().empty());
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

// ------------------------------------------------------------ against the simulator

class SimExchange : public Exchange {
 protected:
  void Plug(const std::string& firmware = "0011") {
    sim::ReaderConfig config;
    config.firmware = firmware;
    config.userCard = sim::MakeT1Card();
    config.sam = sim::MakeSam();
    config.seed = vkt::Seed();
    reader = std::make_unique<sim::Reader>(*port, config);
  }
  void TearDown() override {
    reader.reset();
    Exchange::TearDown();
  }
  std::unique_ptr<sim::Reader> reader;
};

TEST_F(SimExchange, ReaderTypeOfEachFirmware) {
  for (const char* firmware : {"0003", "0010", "0011"}) {
    SCOPED_TRACE(firmware);
    Plug(firmware);
    ASSERT_TRUE(sys().Run([&] {
      Start();
      re->CardTypeByte = re->LeFixup = FALSE;
      std::memset(re->ReaderId, 0, 16);
      sc->ReaderCapabilities.DataRatesSupported.Entries = 3;
      Vxr_BuildCommand(sc, RDDCMD_READER_TYPE, 0);
      ASSERT_EQ(Vxr_ReaderExchange(sc), STATUS_SUCCESS);
      Bytes reply = Reply();
      ASSERT_GE(reply.size(), 21u);
      EXPECT_EQ(re->ReceivedLength, reply.size());
      EXPECT_TRUE(Vxr_ApplyReaderType(sc));
      bool old = std::string(firmware) == "0003";
      EXPECT_EQ(re->CardTypeByte, old ? FALSE : TRUE);
      EXPECT_EQ(re->LeFixup, std::string(firmware) == "0011" ? FALSE : TRUE);
      EXPECT_EQ(sc->ReaderCapabilities.DataRatesSupported.Entries, old ? 1 : 3);
      Vxr_CloseSerialPort(device, nullptr);
    }));
    reader.reset();
  }
}

TEST_F(SimExchange, LineFaultsAreRetriedWithTheWholeExchange) {
  struct Case {
    const char* name;
    std::vector<sim::Fault> faults;
    NTSTATUS result;
    size_t tries;
  };
  sim::Fault nak, bad, noise, split;
  nak.kind = sim::FaultKind::kNak;
  bad.kind = sim::FaultKind::kBadCheck;
  noise.kind = sim::FaultKind::kNoise;
  noise.count = 40;
  split.kind = sim::FaultKind::kSplit;
  split.time = 500 * kMillisecond;  // gaps under the 2 s chunk time-out
  const Case cases[] = {
      {"noise", {noise}, STATUS_SUCCESS, 1},
      {"split after every DLE", {split}, STATUS_SUCCESS, 1},
      {"two NAKs", {nak, nak}, STATUS_SUCCESS, 3},
      {"three NAKs", {nak, nak, nak}, RDDERR_NAK, 3},
      {"three bad checks", {bad, bad, bad}, RDDERR_DUE, 3},
  };
  Plug();
  ASSERT_TRUE(sys().Run([&] {
    Start();
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      for (const auto& f : c.faults) reader->QueueFault(f);
      port->ClearRequests();
      Vxr_BuildCommand(sc, RDDCMD_READER_STATUS, 0);
      EXPECT_EQ(Vxr_ReaderExchange(sc), c.result);
      EXPECT_EQ(Count(IOCTL_SERIAL_PURGE), c.tries);
      EXPECT_EQ(Count(0, IRP_MJ_WRITE), c.tries);
      if (c.result == STATUS_SUCCESS) {
        EXPECT_EQ(Reply()[0], RDDRSP_STATUS);
      }
      reader->ClearFaults();
    }
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(SimExchange, AnExchangeTakesNoPool) {
  Plug();
  ASSERT_TRUE(sys().Run([&] {
    Start();
    auto before = sys().Pool().allocations;
    Vxr_BuildCommand(sc, RDDCMD_READER_TYPE, 0);
    EXPECT_EQ(Vxr_ReaderExchange(sc), STATUS_SUCCESS);
    EXPECT_EQ(sys().Pool().allocations, before);
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(SimExchange, BothSlotsTakeTurnsOnTheLineUnderTheReaderLock) {
  Plug();
  ASSERT_TRUE(sys().Run([&] {
    Start();
    InitSamSlot();
    int ok[2] = {0, 0};
    bool done[2] = {false, false};
    for (int slot = 0; slot < 2; ++slot) {
      sys().CreateThread(slot ? "sam" : "card", [&, slot] {
        PSMARTCARD_EXTENSION ext = slot ? sam : sc;
        for (int i = 0; i < 5; ++i) {
          Vxr_AcquireReader(de);
          Vxr_BuildCommand(ext, slot ? RDDCMD_POWER_DOWN : RDDCMD_READER_STATUS, Vxr_SlotByte(ext));
          if (Vxr_ReaderExchange(ext) == STATUS_SUCCESS &&
              ext->SmartcardReply.Buffer[0] == (slot ? RDDRSP_ACK : RDDRSP_STATUS))
            ok[slot]++;
          Vxr_ReleaseReader(de);
        }
        done[slot] = true;
      });
    }
    while (!done[0] || !done[1]) {
      LARGE_INTEGER wait;
      wait.QuadPart = -100 * 10000;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
    }
    EXPECT_EQ(ok[0], 5);
    EXPECT_EQ(ok[1], 5);
    EXPECT_EQ(Count(IOCTL_SERIAL_PURGE), 10u);  // no retries: nothing interleaved
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

}  // namespace
