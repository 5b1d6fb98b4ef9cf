#include "sim/reader.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint8_t kReaderType = 0x60;
constexpr std::uint8_t kSetParameters = 0x61;
constexpr std::uint8_t kPowerUp = 0x62;
constexpr std::uint8_t kPowerDown = 0x63;
constexpr std::uint8_t kWarmReset = 0x64;
constexpr std::uint8_t kReaderStatus = 0x65;
constexpr std::uint8_t kCardExchange = 0x67;
constexpr std::uint8_t kMemTransmit = 0x6B;

constexpr std::uint8_t kReplyType = 0x60;
constexpr std::uint8_t kReplyStatus = 0x61;
constexpr std::uint8_t kReplyAck = 0x62;
constexpr std::uint8_t kReplyData = 0x64;
constexpr std::uint8_t kReplyNoCard = 0x67;

// Status bytes of the reader's memory-card command set, beyond the card's own.
constexpr std::uint8_t kMemNoCard = 0x01;
constexpr std::uint8_t kMemNotPowered = 0x06;
constexpr std::uint8_t kMemNotMemoryCard = 0x07;
constexpr std::uint8_t kMemMalformed = 0x0E;
constexpr std::uint8_t kMemUnknown = 0x0F;

// Commands of the memory-card command set (first byte of the block).
constexpr std::uint8_t kMemRead = 0x01;
constexpr std::uint8_t kMemWrite = 0x02;
constexpr std::uint8_t kMemVerify = 0x03;
constexpr std::uint8_t kMemInfo = 0x04;
constexpr std::uint8_t kMemSetRate = 0x80;

constexpr std::uint32_t kRateByCode[7] = {0, 38400, 19200, 9600, 4800, 2400, 1200};

// Time a card takes from reset to its first ATR character (about 40000 clocks).
constexpr vk::Nanos kResetTime = 12 * vk::kMillisecond;

Bytes DataReply(std::uint8_t letter, std::uint8_t slot, const Bytes& data) {
  Bytes p(4 + data.size());
  p[0] = letter;
  p[1] = slot;
  p[2] = static_cast<std::uint8_t>(data.size() >> 8);
  p[3] = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), p.begin() + 4);
  return p;
}

Bytes Short(std::uint8_t letter, std::uint8_t slot) { return {letter, slot, 0x00, 0x00}; }

}  // namespace

std::string FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNak: return "nak";
    case FaultKind::kBadCheck: return "badcheck";
    case FaultKind::kNoise: return "noise";
    case FaultKind::kSplit: return "split";
    case FaultKind::kDelay: return "delay";
    case FaultKind::kSilence: return "silence";
    case FaultKind::kEndless: return "endless";
    case FaultKind::kOversize: return "oversize";
    case FaultKind::kWrongLength: return "wronglength";
    case FaultKind::kLongAtr: return "longatr";
    case FaultKind::kUnplug: return "unplug";
  }
  return "?";
}

Reader::Reader(vk::FarEnd& line, ReaderConfig config)
    : line_(line), config_(std::move(config)), rng_(config_.seed), alive_(std::make_shared<bool>(true)) {
  std::string digits = config_.firmware.substr(0, 4);
  while (digits.size() < 4) digits.insert(digits.begin(), '0');
  identification_ = config_.identification;
  if (identification_.size() != 16) {
    const char* text = "VX710RD SIM ";
    identification_.assign(text, text + 12);
    identification_.resize(16);
  }
  for (int i = 0; i < 4; ++i) identification_[12 + i] = static_cast<std::uint8_t>(digits[i]);
  firmware_ = 0;
  for (int i = 0; i < 4; ++i)
    firmware_ = firmware_ * 16u + (static_cast<std::uint32_t>(identification_[12 + i]) - 0x30u);

  slots_[0].card = config_.userCard;
  slots_[1].card = config_.sam;
  slots_[0].state.present = slots_[0].card != nullptr;
  slots_[1].state.present = slots_[1].card != nullptr;

  line_.Attach(this);
  line_.SetRate(config_.initialRate);
  UpdateLines();
  dtr_ = config_.useDtr ? line_.HostDtr() : true;
  if (dtr_) {
    booted_ = true;
    readyAt_ = line_.Clock().Now() + (config_.useDtr ? config_.bootSettle : 0);
  }
}

Reader::~Reader() {
  *alive_ = false;
  line_.Attach(nullptr);
}

bool Reader::Listening() const { return present_ && dtr_ && line_.Clock().Now() >= readyAt_; }

std::shared_ptr<Card> Reader::CardIn(int slot) const { return slots_[slot == 1 ? 1 : 0].card; }

void Reader::Event(const std::string& name, const std::string& fields) {
  TraceEntry e;
  e.time = line_.Clock().Now();
  e.direction = Direction::kEvent;
  e.name = name;
  e.fields = fields;
  trace_.Record(std::move(e));
}

void Reader::UpdateLines() {
  line_.SetModemLines(present_ && slots_[0].card != nullptr, present_);
}

void Reader::At(vk::Nanos at, std::function<void()> fn) {
  std::weak_ptr<bool> alive = alive_;
  vk::Nanos now = line_.Clock().Now();
  line_.Clock().Schedule(at > now ? at : now, [alive, fn = std::move(fn)] {
    auto a = alive.lock();
    if (a && *a) fn();
  });
}

void Reader::InsertCard(std::shared_ptr<Card> card, int slot, vk::Nanos at) {
  slot = slot == 1 ? 1 : 0;
  auto insert = [this, card, slot] {
    SlotData& s = slots_[slot];
    if (s.card) s.card->Deactivate();
    s.card = card;
    s.state = SlotState{};
    s.state.present = card != nullptr;
    UpdateLines();
    Event("INSERT", "slot=" + std::to_string(slot));
  };
  if (at <= line_.Clock().Now()) insert();
  else At(at, insert);
}

void Reader::RemoveCard(int slot, vk::Nanos at) {
  slot = slot == 1 ? 1 : 0;
  auto remove = [this, slot] {
    SlotData& s = slots_[slot];
    if (s.card) s.card->Deactivate();
    s.card = nullptr;
    s.state = SlotState{};
    UpdateLines();
    Event("REMOVE", "slot=" + std::to_string(slot));
  };
  if (at <= line_.Clock().Now()) remove();
  else At(at, remove);
}

void Reader::Unplug(vk::Nanos at) {
  auto unplug = [this] {
    if (!present_) return;
    present_ = false;
    Hold();
    for (SlotData& s : slots_) {
      if (s.card) s.card->Deactivate();
      bool present = s.state.present;
      s.state = SlotState{};
      s.state.present = present;
    }
    UpdateLines();
    Event("UNPLUG", "DSR=0");
  };
  if (at <= line_.Clock().Now()) unplug();
  else At(at, unplug);
}

void Reader::Replug(vk::Nanos at) {
  auto replug = [this] {
    if (present_) return;
    present_ = true;
    line_.SetRate(config_.initialRate);
    booted_ = false;
    if (dtr_) {
      booted_ = true;
      readyAt_ = line_.Clock().Now() + (config_.useDtr ? config_.bootSettle : 0);
    }
    UpdateLines();
    Event("REPLUG", "DSR=1");
  };
  if (at <= line_.Clock().Now()) replug();
  else At(at, replug);
}

void Reader::QueueFaults(std::vector<Fault> faults) {
  if (faults.empty()) return;
  queued_.push_back(FaultGroup{std::move(faults)});
}

void Reader::SetFaultRate(Fault fault, double probability) { rates_.emplace_back(std::move(fault), probability); }

void Reader::ClearFaults() {
  queued_.clear();
  rates_.clear();
}

void Reader::Hold() {
  ++generation_;
  busy_ = false;
  line_.DropUnsent();
  decoder_.Reset();
}

void Reader::OnHostLines(bool dtr, bool rts) {
  (void)rts;
  if (!config_.useDtr || dtr == dtr_) return;
  dtr_ = dtr;
  Event("DTR", dtr ? "1" : "0");
  if (!dtr) {
    Hold();
    return;
  }
  if (!present_) return;
  readyAt_ = line_.Clock().Now() + (booted_ ? config_.dtrSettle : config_.bootSettle);
  booted_ = true;
}

void Reader::OnHostBreak(bool on) {
  if (on) {
    decoder_.Reset();
    Event("BREAK", "");
  }
}

void Reader::OnReceive(std::uint8_t byte, bool garbled) {
  (void)garbled;  // the byte already is what the UART sampled
  if (!Listening()) return;
  vk::Nanos now = line_.Clock().Now();
  if (decoder_.InFrame() && now - lastByte_ > config_.interCharacterTimeout) {
    Event("DROPPED", "unfinished frame");
    decoder_.Reset();
  }
  lastByte_ = now;
  switch (decoder_.Feed(byte)) {
    case FrameDecoder::Event::kNone:
      return;
    case FrameDecoder::Event::kFrame:
      HandleFrame(decoder_.Payload());
      return;
    case FrameDecoder::Event::kBadCheck:
      Nak("bad check");
      return;
    case FrameDecoder::Event::kBrokenDle:
      Nak("broken DLE sequence");
      return;
    case FrameDecoder::Event::kOverflow:
      Nak("frame too long");
      return;
  }
}

void Reader::Nak(const char* why) {
  TraceEntry e;
  e.time = line_.Clock().Now();
  e.direction = Direction::kHostToReader;
  e.raw = decoder_.Raw();
  e.name = "BAD_FRAME";
  e.fields = why;
  trace_.Record(std::move(e));
  if (busy_) {
    Event("IGNORED", "reader busy");
    return;
  }
  Transmit(kNakLetter, Bytes{kNakLetter}, config_.commandTime, {}, 0);
}

void Reader::HandleFrame(const Bytes& payload) {
  TraceEntry e;
  e.time = line_.Clock().Now();
  e.direction = Direction::kHostToReader;
  e.raw = decoder_.Raw();
  DescribeCommand(payload, &e.name, &e.fields);
  trace_.Record(std::move(e));
  if (busy_) {
    Event("IGNORED", "reader busy");
    return;
  }
  std::uint8_t letter = payload.empty() ? 0 : payload[0];
  int slot = payload.size() > 1 ? payload[1] : -1;
  std::vector<Fault> faults = PickFaults(letter, slot);
  for (const Fault& f : faults) {
    if (f.kind == FaultKind::kNak) {
      Transmit(kNakLetter, Bytes{kNakLetter}, config_.commandTime, faults, 0);
      return;
    }
    if (f.kind == FaultKind::kSilence) {
      Event("FAULT", "silence");
      return;
    }
    if (f.kind == FaultKind::kUnplug) {
      Event("FAULT", "unplug");
      Unplug();
      return;
    }
  }
  bool malformed = false;
  Reply r = Execute(payload, &malformed);
  if (malformed) {
    Event("NAK", payload.empty() ? "empty payload" : "unknown or malformed command");
    Transmit(kNakLetter, Bytes{kNakLetter}, config_.commandTime, {}, 0);
    return;
  }
  ++commands_;
  if (r.payload.empty()) return;
  Transmit(letter, std::move(r.payload), r.delay, faults, r.newRate);
}

std::vector<Fault> Reader::PickFaults(std::uint8_t letter, int slot) {
  auto matches = [&](const Fault& f) {
    return (f.letter < 0 || f.letter == letter) && (f.slot < 0 || f.slot == slot);
  };
  for (auto it = queued_.begin(); it != queued_.end(); ++it) {
    if (matches(it->faults.front())) {
      std::vector<Fault> faults = std::move(it->faults);
      queued_.erase(it);
      return faults;
    }
  }
  for (const auto& [fault, p] : rates_) {
    bool hit = rng_.Chance(p);
    if (hit && matches(fault)) return {fault};
  }
  return {};
}

void Reader::Transmit(std::uint8_t letter, Bytes payload, vk::Nanos delay, const std::vector<Fault>& faults,
                      std::uint32_t newRate) {
  bool badCheck = false;
  const Fault* split = nullptr;
  const Fault* endless = nullptr;
  std::size_t noise = 0;
  std::string applied;
  for (const Fault& f : faults) {
    if (!applied.empty()) applied += ",";
    applied += FaultName(f.kind);
    switch (f.kind) {
      case FaultKind::kBadCheck:
        badCheck = true;
        break;
      case FaultKind::kNoise:
        noise = f.count ? f.count : 8;
        break;
      case FaultKind::kSplit:
        split = &f;
        break;
      case FaultKind::kDelay:
        delay += f.time;
        break;
      case FaultKind::kEndless:
        endless = &f;
        break;
      case FaultKind::kOversize: {
        std::size_t total = f.count ? f.count : 1100;
        if (total < 4) total = 4;
        Bytes data(total - 4);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0x20 + i % 0x50);
        std::uint8_t slot = payload.size() > 1 ? payload[1] : 0;
        payload = DataReply(kReplyData, slot, data);
        break;
      }
      case FaultKind::kLongAtr: {
        if (payload.size() < 4 || payload[0] != kReplyData || (letter != kPowerUp && letter != kWarmReset)) break;
        std::size_t prefix = firmware_ >= 0x04 ? 1 : 0;
        std::size_t want = (f.count ? f.count : 80) + prefix;
        for (std::size_t i = payload.size() - 4; i < want; ++i) payload.push_back(static_cast<std::uint8_t>(0x41 + i % 26));
        std::size_t n = payload.size() - 4;
        payload[2] = static_cast<std::uint8_t>(n >> 8);
        payload[3] = static_cast<std::uint8_t>(n);
        break;
      }
      case FaultKind::kWrongLength:
        break;  // below, after every other change of the payload
      case FaultKind::kNak:
      case FaultKind::kSilence:
      case FaultKind::kUnplug:
        break;
    }
  }
  for (const Fault& f : faults) {
    if (f.kind == FaultKind::kWrongLength && payload.size() >= 4) {
      unsigned stated = static_cast<unsigned>(payload[2] << 8 | payload[3]);
      stated = (stated + static_cast<unsigned>(f.delta)) & 0xFFFF;
      payload[2] = static_cast<std::uint8_t>(stated >> 8);
      payload[3] = static_cast<std::uint8_t>(stated);
    }
  }

  Bytes bytes;
  for (std::size_t i = 0; i < noise; ++i) {
    std::uint8_t b = rng_.Byte();
    bytes.push_back(b == kDle ? 0x11 : b);
  }
  if (endless) {
    std::size_t n = endless->count ? endless->count : 4096;
    bytes.push_back(kDle);
    bytes.push_back(kStx);
    for (std::size_t i = 0; i < n; ++i) bytes.push_back(static_cast<std::uint8_t>(0x41 + i % 26));
  } else {
    Bytes frame = EncodeFrame(payload, badCheck);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }

  std::vector<std::size_t> cuts;
  vk::Nanos gap = 0;
  if (split) {
    gap = split->time ? split->time : 50 * vk::kMillisecond;
    if (!split->cuts.empty()) {
      cuts = split->cuts;
    } else if (split->count) {
      for (std::size_t c = split->count; c < bytes.size(); c += split->count) cuts.push_back(c);
    } else {
      // One cut between the frame's DLE and STX, and up to three anywhere.
      cuts.push_back(noise + 1);
      std::uint32_t extra = rng_.Below(4);
      for (std::uint32_t i = 0; i < extra && bytes.size() > 2; ++i)
        cuts.push_back(1 + rng_.Below(static_cast<std::uint32_t>(bytes.size() - 1)));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  }

  vk::Nanos now = line_.Clock().Now();
  TraceEntry e;
  e.time = now + delay;
  e.direction = Direction::kReaderToHost;
  e.raw = bytes;
  DescribeReply(payload, letter, &e.name, &e.fields);
  if (endless) e.name = "ENDLESS";
  if (!applied.empty()) e.fields += (e.fields.empty() ? "fault=" : " fault=") + applied;
  trace_.Record(std::move(e));

  std::vector<std::pair<vk::Nanos, Bytes>> chunks;
  vk::Nanos t = now + delay;
  std::size_t from = 0;
  vk::Nanos charTime = vk::CharacterTime(line_.Rate());
  cuts.push_back(bytes.size());
  for (std::size_t cut : cuts) {
    if (cut <= from || cut > bytes.size()) continue;
    chunks.emplace_back(t, Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(cut)));
    t += static_cast<vk::Nanos>(cut - from) * charTime + gap;
    from = cut;
  }
  SendChunks(std::move(chunks), newRate);
}

void Reader::SendChunks(std::vector<std::pair<vk::Nanos, Bytes>> chunks, std::uint32_t newRate) {
  if (chunks.empty()) return;
  busy_ = true;
  std::uint64_t generation = generation_;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    bool last = i + 1 == chunks.size();
    At(chunks[i].first, [this, generation, last, newRate, bytes = std::move(chunks[i].second)] {
      if (generation != generation_) return;
      line_.Send(bytes.data(), bytes.size());
      if (!last) return;
      busy_ = false;
      if (newRate) SwitchRateWhenSent(newRate);
    });
  }
}

void Reader::SwitchRateWhenSent(std::uint32_t rate) {
  std::uint64_t generation = generation_;
  vk::Nanos charTime = vk::CharacterTime(line_.Rate());
  std::size_t unsent = line_.Unsent();
  // One character time more than the queue holds, so that the last stop bit
  // has left before the UART changes its clock.
  vk::Nanos wait = static_cast<vk::Nanos>(unsent + 1) * charTime;
  At(line_.Clock().Now() + wait, [this, generation, rate] {
    if (generation != generation_) return;
    if (line_.Unsent() != 0) {
      SwitchRateWhenSent(rate);
      return;
    }
    line_.SetRate(rate);
    Event("RATE", std::to_string(rate));
  });
}

Reader::Reply Reader::Execute(const Bytes& p, bool* malformed) {
  Reply r;
  r.delay = config_.commandTime;
  *malformed = true;
  if (p.size() < 3) return r;
  std::uint8_t letter = p[0];
  std::uint8_t slot = p[1];
  bool perSlot = letter != kReaderType && letter != kReaderStatus;
  if (perSlot && slot > 1) return r;
  SlotData* s = perSlot ? &slots_[slot] : nullptr;
  switch (letter) {
    case kReaderType: {
      r.payload = DataReply(kReplyType, 0x00, identification_);
      break;
    }
    case kReaderStatus: {
      auto flags = [](const SlotData& d) {
        return static_cast<std::uint8_t>((d.card ? 0x08 : 0) | (d.state.powered ? 0x04 : 0));
      };
      r.payload = DataReply(kReplyStatus, 0x00, Bytes{flags(slots_[0]), flags(slots_[1])});
      break;
    }
    case kSetParameters: {
      if (p.size() < 8) return r;
      std::uint8_t flags = p[3];
      if (flags & 0x04) s->state.wtx = p[7];
      if (flags == 0x04) {  // waiting-time extension alone
        r.payload = Short(kReplyAck, slot);
        break;
      }
      if (!s->card || !s->state.powered) {
        r.payload = Short(kReplyNoCard, slot);
        break;
      }
      s->state.protocol = (flags & 0x10) ? 1 : 0;
      s->state.crc = (flags & 0x01) != 0;
      s->state.inverse = (flags & 0x02) != 0;
      s->state.guard = p[4];
      s->state.waiting = p[5];
      s->state.bwiCwi = p[6];
      r.payload = Short(kReplyAck, slot);
      break;
    }
    case kPowerUp:
    case kWarmReset:
      r = PowerUp(slot, letter == kWarmReset);
      break;
    case kPowerDown:
      if (s->card) s->card->Deactivate();
      s->state.powered = false;
      s->state.wtx = 0;
      r.payload = Short(kReplyAck, slot);
      break;
    case kCardExchange:
    case kMemTransmit: {
      if (p.size() < 5) return r;
      std::size_t n = static_cast<std::size_t>(p[3] << 8 | p[4]);
      if (p.size() != 5 + n) return r;
      Bytes block(p.begin() + 5, p.end());
      r = letter == kCardExchange ? CardExchange(slot, block) : MemTransmit(slot, block);
      break;
    }
    default:
      return r;
  }
  *malformed = false;
  return r;
}

void Reader::ApplyCardParameters(SlotData& s) {
  Card& card = *s.card;
  s.state.protocol = card.ActiveProtocol() == 1 ? 1 : 0;
  s.state.inverse = card.Inverse();
  s.state.crc = card.UsesCrc();
  s.state.guard = 0;
  s.state.waiting = 20;
  s.state.wtx = 0;
  s.state.bwiCwi = 0x4D;
}

Reader::Reply Reader::PowerUp(int slot, bool warm) {
  Reply r;
  r.delay = config_.commandTime;
  SlotData& s = slots_[slot];
  if (!s.card) {
    r.payload = Short(kReplyData, static_cast<std::uint8_t>(slot));
    return r;
  }
  if (!s.state.powered) warm = false;
  Bytes atr = s.card->Reset(warm);
  r.delay += kResetTime;
  if (atr.empty()) {
    // No answer within the reset window: the reader deactivates the card.
    s.card->Deactivate();
    s.state.powered = false;
    r.delay += kResetTime;
    r.payload = Short(kReplyData, static_cast<std::uint8_t>(slot));
    return r;
  }
  s.state.powered = true;
  ApplyCardParameters(s);
  AtrInfo info = ParseAtr(atr);
  if (info.valid) s.state.bwiCwi = static_cast<std::uint8_t>(info.bwi << 4 | info.cwi);
  r.delay += static_cast<vk::Nanos>(atr.size()) * 12 * Etu(372, 1);
  Bytes data;
  if (firmware_ >= 0x04) data.push_back(s.card->CardType());
  data.insert(data.end(), atr.begin(), atr.end());
  r.payload = DataReply(kReplyData, static_cast<std::uint8_t>(slot), data);
  return r;
}

Reader::Reply Reader::CardExchange(int slot, const Bytes& block) {
  Reply r;
  r.delay = config_.commandTime;
  SlotData& s = slots_[slot];
  if (!s.card || !s.state.powered) {
    r.payload = Short(kReplyNoCard, static_cast<std::uint8_t>(slot));
    return r;
  }
  vk::Nanos t = 0;
  Bytes answer;
  if (!block.empty() && block[0] == 0xFF) answer = PtsExchange(s, block, &t);
  else if (s.state.protocol == 1) answer = T1Exchange(s, block, &t);
  else answer = T0Exchange(s, block, &t);
  r.delay += t;
  r.payload = DataReply(kReplyData, static_cast<std::uint8_t>(slot), answer);
  return r;
}

Bytes Reader::PtsExchange(SlotData& s, const Bytes& request, vk::Nanos* time) {
  vk::Nanos etu = Etu(372, 1);
  vk::Nanos silence = 9600 * etu;  // the initial waiting time
  *time = static_cast<vk::Nanos>(request.size()) * 12 * etu;
  if (request.size() >= 3 && (request[1] & 0x10)) {
    unsigned f = FiToF(request[2] >> 4), d = DiToD(request[2] & 0x0F);
    if (f && d) {
      double rate = kCardClockHz * d / f;
      double limit = (firmware_ < 0x10 ? 9600.0 : 38400.0) * 1.01;
      if (rate > limit) {
        // A card rate this firmware cannot run: the request is not passed on.
        *time += silence;
        return {};
      }
    }
  }
  Bytes answer = s.card->Pts(request);
  if (answer.empty()) {
    *time += silence;
    return {};
  }
  *time += static_cast<vk::Nanos>(answer.size()) * 12 * etu;
  s.state.protocol = s.card->ActiveProtocol() == 1 ? 1 : 0;
  return answer;
}

Bytes Reader::T0Exchange(SlotData& s, const Bytes& tpdu, vk::Nanos* time) {
  Card& card = *s.card;
  vk::Nanos etu = Etu(card.F(), card.D());
  unsigned guard = s.state.guard == 0xFF ? 0 : s.state.guard;
  vk::Nanos ch = static_cast<vk::Nanos>(12 + guard) * etu;
  vk::Nanos wwt = static_cast<vk::Nanos>(s.state.waiting ? s.state.waiting : 10) * 960 * etu;
  *time = 0;
  if (tpdu.size() < 5) return {};
  *time += static_cast<vk::Nanos>(tpdu.size()) * ch;
  if (card.ActiveProtocol() != 0 || card.Inverse() != s.state.inverse) {
    *time += wwt;  // the card cannot read the characters and stays silent
    return {};
  }
  // Older firmware counts the answer of a bare header in eight bits as
  // P3 + 2 (data and status word): P3 FF and FE wrap to 1 and 0.
  std::optional<std::size_t> limit;
  if (firmware_ < 0x11 && tpdu.size() == 5 && (tpdu[4] == 0xFF || tpdu[4] == 0xFE))
    limit = static_cast<std::size_t>((tpdu[4] + 2) & 0xFF);

  Bytes header(tpdu.begin(), tpdu.begin() + 5);
  Bytes data(tpdu.begin() + 5, tpdu.end());
  std::uint8_t ins = header[1];
  std::size_t le = header[4] ? header[4] : 256;
  bool outgoing = data.empty();

  Bytes stream;
  std::size_t pos = 0;
  bool timedOut = false;
  auto feed = [&](const std::uint8_t* bytes, std::size_t n) {
    vk::Nanos busy = 0;
    Bytes more = card.T0Receive(bytes, n, &busy);
    std::size_t nulls = 0;
    while (nulls < more.size() && more[nulls] == 0x60) ++nulls;
    if (busy / static_cast<vk::Nanos>(nulls + 1) > wwt) timedOut = true;
    *time += busy;
    stream.insert(stream.end(), more.begin(), more.end());
  };
  auto next = [&](std::uint8_t* b) {
    if (timedOut || pos >= stream.size()) return false;
    *b = stream[pos++];
    *time += ch;
    return true;
  };

  card.T0Begin();
  feed(header.data(), header.size());
  Bytes response;
  std::size_t sent = 0;
  for (int guardLoop = 0; guardLoop < 4096; ++guardLoop) {
    std::uint8_t b;
    if (!next(&b)) {
      *time += wwt;
      return {};
    }
    if (b == 0x60) continue;
    if ((b & 0xF0) == 0x60 || (b & 0xF0) == 0x90) {
      std::uint8_t sw2;
      if (!next(&sw2)) {
        *time += wwt;
        return {};
      }
      response.push_back(b);
      response.push_back(sw2);
      break;
    }
    if (b == ins) {
      if (!outgoing) {
        if (sent < data.size()) {
          *time += static_cast<vk::Nanos>(data.size() - sent) * ch;
          feed(data.data() + sent, data.size() - sent);
          sent = data.size();
        }
      } else {
        while (response.size() < le) {
          std::uint8_t d;
          if (!next(&d)) {
            *time += wwt;
            return {};
          }
          response.push_back(d);
        }
      }
      continue;
    }
    if (b == static_cast<std::uint8_t>(~ins)) {
      if (!outgoing) {
        if (sent < data.size()) {
          *time += ch;
          feed(data.data() + sent, 1);
          ++sent;
        }
      } else if (response.size() < le) {
        std::uint8_t d;
        if (!next(&d)) {
          *time += wwt;
          return {};
        }
        response.push_back(d);
      }
      continue;
    }
    return {};  // not a procedure byte: the exchange is given up
  }
  if (limit && response.size() > *limit) response.resize(*limit);
  return response;
}

Bytes Reader::T1Exchange(SlotData& s, const Bytes& block, vk::Nanos* time) {
  Card& card = *s.card;
  vk::Nanos etu = Etu(card.F(), card.D());
  vk::Nanos ch = 12 * etu;
  vk::Nanos bwt = BlockWaitingTime(static_cast<std::uint8_t>(s.state.bwiCwi >> 4), card.F(), card.D());
  if (s.state.wtx) bwt *= s.state.wtx;
  s.state.wtx = 0;  // an extension holds for one block only
  *time = static_cast<vk::Nanos>(block.size()) * ch;
  if (card.ActiveProtocol() != 1 || card.Inverse() != s.state.inverse) {
    *time += bwt;
    return {};
  }
  vk::Nanos busy = 0;
  Bytes answer = card.T1Receive(block, &busy);
  if (answer.empty() || busy > bwt) {
    *time += bwt;
    return {};
  }
  // The reader finds the block's end from LEN and the error detection code
  // it was told to expect.
  if (answer.size() >= 3) {
    std::size_t expected = 3 + answer[2] + (s.state.crc ? 2 : 1);
    if (answer.size() > expected) answer.resize(expected);
  }
  *time += busy + static_cast<vk::Nanos>(answer.size()) * ch;
  return answer;
}

Reader::Reply Reader::MemTransmit(int slot, const Bytes& b) {
  Reply r;
  r.delay = config_.commandTime;
  Bytes d;
  auto done = [&] {
    r.payload = DataReply(kReplyData, static_cast<std::uint8_t>(slot), d);
    return r;
  };
  if (b.empty()) {
    d = {kMemMalformed};
    return done();
  }
  if (b[0] == kMemSetRate) {
    if (b.size() < 3) {
      d = {kMemMalformed};
    } else if (b[2] >= 1 && b[2] <= 6) {
      d = {0x00};
      r.newRate = kRateByCode[b[2]];
    } else {
      d = {MemoryCard::kBadAddress};
    }
    return done();
  }
  if (b[0] < kMemRead || b[0] > kMemInfo) {
    d = {kMemUnknown};
    return done();
  }
  SlotData& s = slots_[slot];
  if (!s.card) {
    d = {kMemNoCard};
    return done();
  }
  MemoryCard* m = s.card->Memory();
  if (!m) {
    d = {kMemNotMemoryCard};
    return done();
  }
  if (!s.state.powered) {
    d = {kMemNotPowered};
    return done();
  }
  std::size_t address = b.size() >= 3 ? static_cast<std::size_t>(b[1] << 8 | b[2]) : 0;
  switch (b[0]) {
    case kMemRead: {
      if (b.size() != 4) {
        d = {kMemMalformed};
        break;
      }
      std::size_t n = b[3] ? b[3] : 256;
      Bytes data;
      std::uint8_t st = m->Read(address, n, &data);
      d = {st};
      if (st == MemoryCard::kOk) d.insert(d.end(), data.begin(), data.end());
      r.delay += static_cast<vk::Nanos>(n) * 100 * vk::kMicrosecond;
      break;
    }
    case kMemWrite: {
      if (b.size() < 4 || b[3] == 0 || b.size() != 4u + b[3]) {
        d = {kMemMalformed};
        break;
      }
      d = {m->Write(address, Bytes(b.begin() + 4, b.end()))};
      r.delay += static_cast<vk::Nanos>(b[3]) * 2 * vk::kMillisecond;
      break;
    }
    case kMemVerify: {
      if (b.size() < 4 || b.size() != 4u + b[3]) {
        d = {kMemMalformed};
        break;
      }
      std::uint8_t left = 0;
      std::uint8_t st = m->Verify(Bytes(b.begin() + 4, b.end()), &left);
      d = {st, left};
      break;
    }
    case kMemInfo:
      d = {MemoryCard::kOk, m->CardType(), static_cast<std::uint8_t>(m->Size() >> 8),
           static_cast<std::uint8_t>(m->Size()), static_cast<std::uint8_t>(m->Protected() ? 1 : 0)};
      break;
  }
  return done();
}

}  // namespace sim
