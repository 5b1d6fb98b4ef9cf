// The library's T=1 host side against the simulator's independent T=1 card:
// the blocks SmartcardT1Request builds go to the card, its answers back to
// SmartcardT1Reply, the way the reader driver passes them.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "sim/card.h"
#include "slot.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Card = std::function<Bytes(const Bytes&)>;

// Plays the reader driver's transmission loop between the library and a card.
struct Exchange {
  smct::Slot& slot;
  Card card;
  std::vector<Bytes> sent;      // the blocks the library built, in order
  std::vector<Bytes> answers;   // what the card gave back (empty: nothing)
  int wtxRequests = 0;          // passes that began with T1.State = T1_WTX_RESPONSE
  std::vector<UCHAR> wtxValues;
  Bytes reply;                  // data and SW1 SW2 of the last command
  ULONG information = 0;

  NTSTATUS Run(const Bytes& apdu, size_t replyCapacity = 1024, size_t maxPasses = 2000) {
    Bytes request(8);
    SCARD_IO_REQUEST pci = {SCARD_PROTOCOL_T1, 8};
    std::memcpy(request.data(), &pci, 8);
    request.insert(request.end(), apdu.begin(), apdu.end());
    Bytes out(8 + replyCapacity, 0xEE);
    auto& io = slot.ext.IoRequest;
    io.RequestBuffer = request.data();
    io.RequestBufferLength = ULONG(request.size());
    io.ReplyBuffer = out.data();
    io.ReplyBufferLength = ULONG(out.size());
    io.Information = &information;
    sent.clear();
    answers.clear();
    reply.clear();
    NTSTATUS status;
    size_t passes = 0;
    do {
      if (++passes > maxPasses) return STATUS_UNSUCCESSFUL;  // the library never ended
      if (slot.ext.T1.State == T1_WTX_RESPONSE) {
        ++wtxRequests;
        wtxValues.push_back(slot.ext.T1.Wtx);
      }
      slot.ext.SmartcardRequest.BufferLength = 5;
      status = SmartcardT1Request(&slot.ext);
      if (status != STATUS_SUCCESS) return status;
      const auto& rq = slot.ext.SmartcardRequest;
      Bytes block(rq.Buffer + 5, rq.Buffer + rq.BufferLength);
      sent.push_back(block);
      Bytes answer = card(block);
      answers.push_back(answer);
      if (answer.empty()) slot.ext.T1.OriginalState = ULONG(STATUS_IO_TIMEOUT);
      if (!answer.empty()) std::memcpy(slot.ext.SmartcardReply.Buffer, answer.data(), answer.size());
      slot.ext.SmartcardReply.BufferLength = ULONG(answer.size());
      status = SmartcardT1Reply(&slot.ext);
    } while (status == STATUS_MORE_PROCESSING_REQUIRED);
    if (status == STATUS_SUCCESS) {
      SCARD_IO_REQUEST header;
      std::memcpy(&header, out.data(), 8);
      EXPECT_EQ(header.dwProtocol, ULONG(SCARD_PROTOCOL_T1));
      EXPECT_EQ(header.cbPciLength, 8u);
      EXPECT_GE(information, 8u);
      reply.assign(out.begin() + 8, out.begin() + information);
    } else {
      EXPECT_EQ(information, 0u);
    }
    return status;
  }

  size_t CountSent(std::uint8_t pcbMask, std::uint8_t pcb) const {
    size_t n = 0;
    for (auto& b : sent) n += (b.size() > 1 && (b[1] & pcbMask) == pcb);
    return n;
  }
};

Bytes Sw9000(Bytes data = {}) {
  data.push_back(0x90);
  data.push_back(0x00);
  return data;
}

Bytes Ef0001(size_t offset, size_t n) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) b.push_back(std::uint8_t(offset + i));
  return b;
}

const Bytes kSelect0001 = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x01};
const Bytes kSelect0002 = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x02};
const Bytes kRead256 = {0x00, 0xB0, 0x00, 0x00, 0x00};

class T1Test : public vkt::SystemTest {
 protected:
  // Resets the card and sets the slot up from its answer-to-reset, T=1 selected.
  void Start(std::shared_ptr<sim::ProcessorCard> c, ULONG maxIfsd = 240) {
    simCard = std::move(c);
    ASSERT_EQ(slot.Init(), STATUS_SUCCESS);
    slot.ext.ReaderCapabilities.MaxIFSD = maxIfsd;
    slot.SetAtr(simCard->Reset(false));
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&slot.ext), STATUS_SUCCESS);
    slot.ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ex = std::make_unique<Exchange>(Exchange{slot, [this](const Bytes& block) {
                                               vk::Nanos busy;
                                               return simCard->T1Receive(block, &busy);
                                             }});
  }
  void Body(std::function<void()> fn) {
    sys().Run([&] {
      fn();
      slot.Exit();
    });
  }

  smct::Slot slot;
  std::shared_ptr<sim::ProcessorCard> simCard;
  std::unique_ptr<Exchange> ex;
};

TEST_F(T1Test, NegotiatesIfsdAndReadsA258ByteResponse) {
  Body([&] {
    Start(sim::MakeT1Card());
    ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000());
    // The first block of the first command is the IFS request with the reader's IFSD.
    ASSERT_FALSE(ex->sent.empty());
    EXPECT_EQ(ex->sent[0], (Bytes{0x00, 0xC1, 0x01, 240, std::uint8_t(0xC1 ^ 0x01 ^ 240)}));
    EXPECT_EQ(simCard->Ifsd(), 240);
    EXPECT_EQ(slot.ext.T1.IFSD, 240);

    // 256 data bytes and SW1 SW2 come as a chain of 240 and 18 bytes.
    ASSERT_EQ(ex->Run(kRead256, 258), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 256)));
    EXPECT_EQ(ex->answers.size(), 2u);
    EXPECT_EQ(ex->CountSent(0xEC, 0x80), 1u);  // one R-block asking for the second part
    EXPECT_EQ(ex->information, 8u + 258u);
  });
}

TEST_F(T1Test, ReceivesLongChainsAtTheDefaultIfsd) {
  Body([&] {
    Start(sim::MakeT1Card(), 32);  // no IFS request: IFSD stays 32
    ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
    EXPECT_EQ(ex->CountSent(0xFF, 0xC1), 0u);
    ASSERT_EQ(ex->Run(kRead256), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 256)));
    EXPECT_EQ(ex->answers.size(), 9u);  // 8 x 32 + 2
    // Then a second read from offset 256: 44 bytes and 6282 (end of file).
    ASSERT_EQ(ex->Run({0x00, 0xB0, 0x01, 0x00, 0x00}), STATUS_SUCCESS);
    Bytes tail = Ef0001(256, 44);
    tail.push_back(0x62);
    tail.push_back(0x82);
    EXPECT_EQ(ex->reply, tail);
  });
}

TEST_F(T1Test, ChainsTheCommandWithinIfsc) {
  Body([&] {
    Start(sim::MakeT1Card());
    ASSERT_EQ(ex->Run(kSelect0002), STATUS_SUCCESS);
    Bytes update = {0x00, 0xD6, 0x00, 0x00, 0x40};
    for (int i = 0; i < 64; ++i) update.push_back(std::uint8_t(0xA0 + i));
    ASSERT_EQ(ex->Run(update), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000());
    // 69 bytes at IFSC 32: I-blocks of 32, 32 and 5 bytes, the first two chained.
    ASSERT_EQ(ex->sent.size(), 3u);
    EXPECT_EQ(ex->sent[0][1] & 0xA0, 0x20);
    EXPECT_EQ(ex->sent[0][2], 32);
    EXPECT_EQ(ex->sent[1][1] & 0xA0, 0x20);
    EXPECT_EQ(ex->sent[2][1] & 0xA0, 0x00);
    EXPECT_EQ(ex->sent[2][2], 5);
    EXPECT_EQ(Bytes(update.begin() + 5, update.end()), *simCard->Files().FileData(0x0002));
    // The card asks for a larger IFSC before its next answer; later chains use it.
    simCard->RequestIfs(64);
    ASSERT_EQ(ex->Run({0x00, 0xB0, 0x00, 0x00, 0x40}), STATUS_SUCCESS);
    EXPECT_EQ(slot.ext.T1.IFSC, 64);
    EXPECT_EQ(ex->CountSent(0xFF, 0xE1), 1u);
    ASSERT_EQ(ex->Run(update), STATUS_SUCCESS);
    EXPECT_EQ(ex->sent.size(), 2u);  // 64 + 5
  });
}

TEST_F(T1Test, ReplyLargerThanTheCallersBufferFailsAndStaysInStep) {
  Body([&] {
    Start(sim::MakeT1Card());
    ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
    EXPECT_EQ(ex->Run(kRead256, 257), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(ex->Run(kRead256, 258), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 256)));
  });
}

TEST_F(T1Test, AnswersWaitingTimeExtensions) {
  Body([&] {
    Start(sim::MakeT1Card());
    ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
    simCard->SetProcessingTime(3 * vk::kSecond);  // beyond BWT: the card asks for more time
    ASSERT_EQ(ex->Run({0x00, 0xB0, 0x00, 0x00, 0x10}), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 16)));
    ASSERT_EQ(ex->wtxRequests, 1);
    EXPECT_EQ(ex->wtxValues[0], 2);
    EXPECT_EQ(ex->CountSent(0xFF, 0xE3), 1u);
    auto it = std::find_if(ex->sent.begin(), ex->sent.end(), [](const Bytes& b) { return b[1] == 0xE3; });
    EXPECT_EQ(*it, (Bytes{0x00, 0xE3, 0x01, 0x02, std::uint8_t(0xE3 ^ 0x01 ^ 0x02)}));
  });
}

TEST_F(T1Test, RecoversCorruptedBlocks) {
  for (bool crc : {false, true}) {
    SCOPED_TRACE(crc ? "CRC" : "LRC");
    sys().Run([&] {
      sim::ProcessorCardConfig config;
      config.atr.t0 = false;
      config.atr.t1 = true;
      config.atr.crc = crc;
      Start(std::make_shared<sim::ProcessorCard>(config), 32);
      ASSERT_EQ(slot.ext.CardCapabilities.T1.EDC, crc ? 1 : 0);
      ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
      // Two of the card's blocks arrive with a wrong EDC, one inside the chain.
      simCard->CorruptNextBlocks(2);
      ASSERT_EQ(ex->Run(kRead256), STATUS_SUCCESS);
      EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 256)));
      EXPECT_EQ(ex->CountSent(0xEF, 0x81), 2u);  // R-blocks with error code 1 (EDC)
      EXPECT_EQ(simCard->ResyncCount(), 0);
      slot.Exit();
    });
  }
}

TEST_F(T1Test, ResynchronisesWhenBlocksAreLost) {
  Body([&] {
    Start(sim::MakeT1Card());
    ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
    simCard->IgnoreNextBlocks(1);  // the command's I-block is lost
    ASSERT_EQ(ex->Run({0x00, 0xB0, 0x00, 0x00, 0x08}), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 8)));
    EXPECT_EQ(simCard->ResyncCount(), 1);
    EXPECT_EQ(ex->CountSent(0xFF, 0xC0), 1u);
    // After the resynchronisation IFSD is back to 32 and is negotiated again.
    EXPECT_EQ(simCard->Ifsd(), 240);
    // The card's sequence numbers and ours agree afterwards.
    ASSERT_EQ(ex->Run({0x00, 0xB0, 0x00, 0x08, 0x08}), STATUS_SUCCESS);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(8, 8)));
  });
}

TEST_F(T1Test, MuteCardEndsWithTimeoutAndRecoversLater) {
  Body([&] {
    Start(sim::MakeT1Card());
    ASSERT_EQ(ex->Run(kSelect0001), STATUS_SUCCESS);
    simCard->IgnoreNextBlocks(1000);
    EXPECT_EQ(ex->Run(kRead256), STATUS_IO_TIMEOUT);
    EXPECT_LE(ex->sent.size(), 20u);
    EXPECT_EQ(ex->CountSent(0xFF, 0xC0), 3u);  // three resynchronisation attempts
    // The next command begins with a resynchronisation and works.
    simCard->IgnoreNextBlocks(0);
    ASSERT_EQ(ex->Run({0x00, 0xB0, 0x00, 0x00, 0x04}), STATUS_SUCCESS);
    EXPECT_EQ(ex->sent[0][1], 0xC0);
    EXPECT_EQ(ex->reply, Sw9000(Ef0001(0, 4)));
  });
}

// ---------------------------------------------------------------- scripted cards
Bytes Block(std::uint8_t pcb, const Bytes& inf = {}) {
  Bytes b = {0x00, pcb, std::uint8_t(inf.size())};
  b.insert(b.end(), inf.begin(), inf.end());
  std::uint8_t x = 0;
  for (auto c : b) x ^= c;
  b.push_back(x);
  return b;
}

class T1ScriptTest : public vkt::SystemTest {
 protected:
  void Body(const std::function<void(Exchange&)>& fn, Card card) {
    sys().Run([&] {
      ASSERT_EQ(slot.Init(), STATUS_SUCCESS);
      slot.ext.ReaderCapabilities.MaxIFSD = 32;
      slot.SetAtr(smct::WithTck({0x3B, 0x80, 0x81, 0x31, 0x20, 0x45}));
      ASSERT_EQ(SmartcardUpdateCardCapabilities(&slot.ext), STATUS_SUCCESS);
      slot.ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
      Exchange ex{slot, std::move(card)};
      fn(ex);
      slot.Exit();
    });
  }
  smct::Slot slot;
};

// Answers every complete command with `response`, chained in blocks of 32.
Card ChainingCard(Bytes response) {
  auto state = std::make_shared<std::pair<size_t, std::uint8_t>>(0, 0);  // offset sent, card N(S)
  return [response, state](const Bytes& block) -> Bytes {
    auto& [offset, ns] = *state;
    std::uint8_t pcb = block[1];
    if ((pcb & 0x80) == 0) offset = 0;
    else if ((pcb & 0xC0) != 0x80) return Block(0x82);
    size_t n = std::min<size_t>(32, response.size() - offset);
    bool more = offset + n < response.size();
    Bytes inf(response.begin() + long(offset), response.begin() + long(offset + n));
    offset += n;
    Bytes b = Block(std::uint8_t(ns << 6 | (more ? 0x20 : 0)), inf);
    ns ^= 1;
    return b;
  };
}

TEST_F(T1ScriptTest, Receives259Bytes) {
  Bytes response;
  for (int i = 0; i < 259; ++i) response.push_back(std::uint8_t(i * 7));
  Body(
      [&](Exchange& ex) {
        ASSERT_EQ(ex.Run({0x80, 0xCA, 0x00, 0x00, 0x00}, 259), STATUS_SUCCESS);
        EXPECT_EQ(ex.reply, response);
        EXPECT_EQ(ex.answers.size(), 9u);
        EXPECT_EQ(ex.Run({0x80, 0xCA, 0x00, 0x00, 0x00}, 258), STATUS_BUFFER_TOO_SMALL);
      },
      ChainingCard(response));
}

TEST_F(T1ScriptTest, EndlessAnswersEndInAFailure) {
  struct Case {
    const char* name;
    Bytes answer;
    NTSTATUS expected;
  };
  for (const Case& c : {Case{"R-blocks", Block(0x80), STATUS_DEVICE_PROTOCOL_ERROR},
                        Case{"R-blocks asking again", Block(0x90), STATUS_DEVICE_PROTOCOL_ERROR},
                        Case{"WTX requests", Block(0xC3, {0x01}), STATUS_IO_TIMEOUT},
                        Case{"IFS requests", Block(0xC1, {0x20}), STATUS_DEVICE_PROTOCOL_ERROR},
                        Case{"garbage", Bytes{0x00, 0x00, 0x05, 0x01}, STATUS_DEVICE_PROTOCOL_ERROR},
                        Case{"nothing", Bytes{}, STATUS_IO_TIMEOUT}}) {
    SCOPED_TRACE(c.name);
    Body([&](Exchange& ex) { EXPECT_EQ(ex.Run({0x00, 0xB0, 0x00, 0x00, 0x04}, 64, 1000), c.expected); },
         [&](const Bytes&) { return c.answer; });
  }
}

TEST_F(T1ScriptTest, CardAbortEndsTheCommand) {
  Body([&](Exchange& ex) { EXPECT_EQ(ex.Run({0x00, 0xB0, 0x00, 0x00, 0x04}), STATUS_DEVICE_PROTOCOL_ERROR); },
       [](const Bytes& block) { return block[1] == 0xE2 ? Bytes{} : Block(0xC2); });
}

TEST_F(T1ScriptTest, ReplyWithoutARequestIsRefused) {
  Body(
      [&](Exchange&) {
        slot.ext.SmartcardReply.BufferLength = 0;
        EXPECT_EQ(SmartcardT1Reply(&slot.ext), STATUS_INVALID_DEVICE_STATE);
        // A stated reply length beyond the buffer is an invalid block, never read.
        ULONG info = 0;
        Bytes request = {2, 0, 0, 0, 8, 0, 0, 0, 0x00, 0xB0, 0x00, 0x00, 0x04};
        Bytes out(64);
        slot.ext.IoRequest = {&info, request.data(), ULONG(request.size()), out.data(), ULONG(out.size())};
        slot.ext.SmartcardRequest.BufferLength = 5;
        ASSERT_EQ(SmartcardT1Request(&slot.ext), STATUS_SUCCESS);
        slot.ext.SmartcardReply.BufferLength = slot.ext.SmartcardReply.BufferSize + 1;
        EXPECT_EQ(SmartcardT1Reply(&slot.ext), STATUS_MORE_PROCESSING_REQUIRED);
        EXPECT_EQ(slot.ext.T1.State, T1_R_BLOCK);
      },
      [](const Bytes&) { return Bytes{}; });
}

}  // namespace
