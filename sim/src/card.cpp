#include "sim/card.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint16_t kMf = 0x3F00;

ApduResult Sw(std::uint8_t sw1, std::uint8_t sw2) {
  ApduResult r;
  r.sw1 = sw1;
  r.sw2 = sw2;
  return r;
}

Bytes Text(const char* s) {
  Bytes b;
  while (*s) b.push_back(static_cast<std::uint8_t>(*s++));
  return b;
}

}  // namespace

vk::Nanos Etu(unsigned f, unsigned d) {
  if (d == 0) d = 1;
  return static_cast<vk::Nanos>(static_cast<double>(f) * 1e9 / (static_cast<double>(d) * kCardClockHz));
}

vk::Nanos BlockWaitingTime(std::uint8_t bwi, unsigned f, unsigned d) {
  double seconds = static_cast<double>(1u << (bwi & 0x0F)) * 960.0 * 372.0 / kCardClockHz;
  return static_cast<vk::Nanos>(seconds * 1e9) + 11 * Etu(f, d);
}

std::uint8_t Lrc(const std::uint8_t* data, std::size_t length) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < length; ++i) x ^= data[i];
  return x;
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
  }
  return crc;
}

// ---------------------------------------------------------------------------

FileSystem::FileSystem(std::uint64_t seed) : rng_(seed) {
  files_.push_back({kMf, kMf, true, false, {}});
  Bytes ef1(300);
  for (std::size_t i = 0; i < ef1.size(); ++i) ef1[i] = static_cast<std::uint8_t>(i);
  files_.push_back({0x0001, kMf, false, false, ef1});
  files_.push_back({0x0002, kMf, false, true, Bytes(64, 0x00)});
  files_.push_back({0x5000, kMf, true, false, {}});
  files_.push_back({0x5001, 0x5000, false, false, Text("SIMULATED CARD  ")});
}

void FileSystem::Reset() {
  currentDf_ = kMf;
  currentEf_.reset();
}

FileSystem::File* FileSystem::Find(std::uint16_t fid) {
  if (fid == kMf) return &files_[0];
  for (File& f : files_)
    if (f.fid == fid && f.parent == currentDf_ && f.fid != kMf) return &f;
  for (File& f : files_)
    if (f.fid == fid && (f.parent == kMf || f.fid == currentDf_) && f.fid != kMf) return &f;
  return nullptr;
}

const Bytes* FileSystem::FileData(std::uint16_t fid) const {
  for (const File& f : files_)
    if (f.fid == fid) return &f.data;
  return nullptr;
}

Bytes FileSystem::Fci(const File& f) const {
  Bytes body = {0x82, 0x01, static_cast<std::uint8_t>(f.df ? 0x38 : 0x01), 0x83, 0x02,
                static_cast<std::uint8_t>(f.fid >> 8), static_cast<std::uint8_t>(f.fid)};
  if (!f.df) {
    body.insert(body.end(), {0x80, 0x02, static_cast<std::uint8_t>(f.data.size() >> 8),
                             static_cast<std::uint8_t>(f.data.size())});
  }
  Bytes fci = {0x62, static_cast<std::uint8_t>(body.size())};
  fci.insert(fci.end(), body.begin(), body.end());
  return fci;
}

ApduResult FileSystem::Execute(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                               const Bytes& data, int le) {
  if (cla != 0x00) return Sw(0x6E, 0x00);
  switch (ins) {
    case 0xA4: {  // SELECT
      if (p1 != 0x00) return Sw(0x6A, 0x86);
      if (p2 != 0x00 && p2 != 0x0C) return Sw(0x6A, 0x86);
      std::uint16_t fid;
      if (data.empty()) fid = kMf;
      else if (data.size() == 2) fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
      else return Sw(0x67, 0x00);
      File* f = Find(fid);
      if (!f) return Sw(0x6A, 0x82);
      if (f->df) {
        currentDf_ = f->fid;
        currentEf_.reset();
      } else {
        currentEf_ = f->fid;
        currentDf_ = f->parent;
      }
      ApduResult r;
      if (p2 == 0x00 && le != -1) {
        r.data = Fci(*f);
        if (r.data.size() > static_cast<std::size_t>(le)) r.data.resize(static_cast<std::size_t>(le));
      }
      return r;
    }
    case 0xB0: {  // READ BINARY
      if (p1 & 0x80) return Sw(0x6A, 0x86);
      if (!currentEf_) return Sw(0x69, 0x86);
      if (le == -1) return Sw(0x67, 0x00);
      File* f = Find(*currentEf_);
      if (!f) return Sw(0x69, 0x86);
      std::size_t offset = static_cast<std::size_t>(p1 << 8 | p2);
      if (offset >= f->data.size()) return Sw(0x6B, 0x00);
      std::size_t n = std::min(static_cast<std::size_t>(le), f->data.size() - offset);
      ApduResult r;
      r.data.assign(f->data.begin() + static_cast<long>(offset),
                    f->data.begin() + static_cast<long>(offset + n));
      if (n < static_cast<std::size_t>(le)) {
        r.sw1 = 0x62;
        r.sw2 = 0x82;
      }
      return r;
    }
    case 0xD6: {  // UPDATE BINARY
      if (p1 & 0x80) return Sw(0x6A, 0x86);
      if (!currentEf_) return Sw(0x69, 0x86);
      File* f = Find(*currentEf_);
      if (!f) return Sw(0x69, 0x86);
      if (!f->writable) return Sw(0x69, 0x82);
      if (data.empty()) return Sw(0x67, 0x00);
      std::size_t offset = static_cast<std::size_t>(p1 << 8 | p2);
      if (offset + data.size() > f->data.size()) return Sw(0x6B, 0x00);
      std::copy(data.begin(), data.end(), f->data.begin() + static_cast<long>(offset));
      return Sw(0x90, 0x00);
    }
    case 0x84: {  // GET CHALLENGE
      if (p1 != 0 || p2 != 0) return Sw(0x6A, 0x86);
      if (le == -1) return Sw(0x67, 0x00);
      if (le < 1 || le > 32) return Sw(0x6C, 0x08);
      ApduResult r;
      for (int i = 0; i < le; ++i) r.data.push_back(rng_.Byte());
      return r;
    }
    default:
      return Sw(0x6D, 0x00);
  }
}

// ---------------------------------------------------------------------------

ProcessorCard::ProcessorCard(ProcessorCardConfig config)
    : config_(std::move(config)), fs_(config_.seed) {
  atr_ = config_.rawAtr.empty() ? BuildAtr(config_.atr) : config_.rawAtr;
  info_ = ParseAtr(atr_);
}

Bytes ProcessorCard::Reset(bool warm) {
  active_ = true;
  stuck_ = false;
  ptsAllowed_ = true;
  protocol_ = info_.fixedMode ? info_.fixedProtocol : info_.firstProtocol;
  if (info_.fixedMode && !info_.fixedImplicit && info_.hasTa1 && FiToF(info_.fi) && DiToD(info_.di)) {
    f_ = FiToF(info_.fi);
    d_ = DiToD(info_.di);
  } else {
    f_ = 372;
    d_ = 1;
  }
  T0Begin();
  t0Pending_.clear();
  ns_ = nr_ = 0;
  ifsc_ = info_.ifsc;
  ifsd_ = 32;
  rxChain_.clear();
  txRemaining_.clear();
  txChaining_ = false;
  lastBlock_.clear();
  wtxPending_ = false;
  deferredValid_ = false;
  fs_.Reset();
  (void)warm;
  if (config_.mute) return {};
  return atr_;
}

void ProcessorCard::Deactivate() {
  active_ = false;
  stuck_ = false;
}

Bytes ProcessorCard::Pts(const Bytes& request) {
  if (!active_ || stuck_ || config_.mute) return {};
  if (!ptsAllowed_) return {};
  ptsAllowed_ = false;
  auto refuse = [&] {
    stuck_ = true;
    return Bytes{};
  };
  if (config_.pts == PtsMode::kSilent) return refuse();
  if (request.size() < 3 || request[0] != 0xFF) return refuse();
  std::uint8_t pts0 = request[1];
  std::size_t expected = 3 + ((pts0 & 0x10) ? 1 : 0) + ((pts0 & 0x20) ? 1 : 0) + ((pts0 & 0x40) ? 1 : 0);
  if (request.size() != expected) return refuse();
  if (Lrc(request.data(), request.size()) != 0) return refuse();
  int t = pts0 & 0x0F;
  if (t > 1 || !(info_.protocols & (1u << t))) return refuse();
  if (info_.fixedMode && t != info_.fixedProtocol) return refuse();
  unsigned f = 372, d = 1;
  if (pts0 & 0x10) {
    std::uint8_t pts1 = request[2];
    std::uint8_t fi = pts1 >> 4, di = pts1 & 0x0F;
    f = FiToF(fi);
    d = DiToD(di);
    bool isDefault = (fi <= 1 && di == 1);
    bool supported = info_.hasTa1 && f != 0 && d != 0 && f == FiToF(info_.fi) &&
                     d <= DiToD(info_.di);
    if (!isDefault && !supported) return refuse();
  }
  Bytes answer = request;
  switch (config_.pts) {
    case PtsMode::kAccept:
      protocol_ = t;
      f_ = f;
      d_ = d;
      break;
    case PtsMode::kBadCheck:
      answer.back() ^= 0x01;
      break;
    case PtsMode::kWrongEcho:
      if (pts0 & 0x10) answer[2] ^= 0x01;
      else answer[1] ^= 0x01;
      answer.back() = 0;
      answer.back() = Lrc(answer.data(), answer.size() - 1);
      break;
    case PtsMode::kSilent:
      break;
  }
  return answer;
}

// ----- T=0, card side --------------------------------------------------------

void ProcessorCard::T0Begin() {
  t0Header_.clear();
  t0Data_.clear();
  t0Need_ = 0;
  t0FirstSent_ = false;
}

ApduResult ProcessorCard::RunT0(const Bytes& h, const Bytes& data) {
  std::uint8_t ins = h[1];
  if (h[0] == 0x00 && ins == 0xC0) {  // GET RESPONSE
    int le = h[4] ? h[4] : 256;
    if (t0Pending_.empty()) return Sw(0x69, 0x85);
    if (static_cast<std::size_t>(le) > t0Pending_.size())
      return Sw(0x6C, static_cast<std::uint8_t>(t0Pending_.size()));
    ApduResult r;
    r.data.assign(t0Pending_.begin(), t0Pending_.begin() + le);
    t0Pending_.erase(t0Pending_.begin(), t0Pending_.begin() + le);
    if (!t0Pending_.empty()) {
      r.sw1 = 0x61;
      r.sw2 = static_cast<std::uint8_t>(t0Pending_.size());
    }
    return r;
  }
  t0Pending_.clear();
  if (t0Incoming_) {
    ApduResult r = fs_.Execute(h[0], ins, h[2], h[3], data, 256);
    if (!r.data.empty() && r.sw1 == 0x90) {
      t0Pending_ = r.data;
      r.data.clear();
      r.sw1 = 0x61;
      r.sw2 = static_cast<std::uint8_t>(t0Pending_.size());
    }
    r.data.clear();
    return r;
  }
  int le = h[4] ? h[4] : 256;
  ApduResult r = fs_.Execute(h[0], ins, h[2], h[3], {}, le);
  if (!r.data.empty() && r.data.size() != static_cast<std::size_t>(le)) {
    std::uint8_t available = static_cast<std::uint8_t>(r.data.size());
    return Sw(0x6C, available);
  }
  return r;
}

Bytes ProcessorCard::T0Procedure1() {
  Bytes out(config_.t0NullBytes, 0x60);
  return out;
}

Bytes ProcessorCard::T0Receive(const std::uint8_t* data, std::size_t length, vk::Nanos* busy) {
  *busy = 0;
  Bytes out;
  if (!active_ || stuck_ || protocol_ != 0 || config_.mute) return out;
  std::uint8_t ins = t0Header_.size() > 1 ? t0Header_[1] : 0;
  auto finish = [&](const ApduResult& r, bool outgoing) {
    Bytes nulls = T0Procedure1();
    out.insert(out.end(), nulls.begin(), nulls.end());
    if (outgoing && !r.data.empty()) {
      std::uint8_t ins = t0Header_[1];
      switch (config_.t0Procedure) {
        case T0Procedure::kAllAtOnce:
          out.push_back(ins);
          out.insert(out.end(), r.data.begin(), r.data.end());
          break;
        case T0Procedure::kByteByByte:
          for (std::uint8_t b : r.data) {
            out.push_back(static_cast<std::uint8_t>(~ins));
            out.push_back(b);
          }
          break;
        case T0Procedure::kMixed:
          out.push_back(static_cast<std::uint8_t>(~ins));
          out.push_back(r.data[0]);
          if (r.data.size() > 1) {
            out.push_back(ins);
            out.insert(out.end(), r.data.begin() + 1, r.data.end());
          }
          break;
      }
    }
    out.push_back(r.sw1);
    out.push_back(r.sw2);
    *busy = config_.processingTime;
    t0Header_.clear();
    t0Need_ = 0;
  };

  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t b = data[i];
    if (t0Header_.size() < 5) {
      t0Header_.push_back(b);
      if (t0Header_.size() < 5) continue;
      ins = t0Header_[1];
      t0Data_.clear();
      if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) {
        finish(Sw(0x6D, 0x00), false);
        return out;
      }
      bool incoming = ins == 0xA4 || ins == 0xD6;
      bool outgoing = ins == 0xB0 || ins == 0x84 || ins == 0xC0;
      if (t0Header_[0] != 0x00) {
        finish(Sw(0x6E, 0x00), false);
        return out;
      }
      if (!incoming && !outgoing) {
        finish(Sw(0x6D, 0x00), false);
        return out;
      }
      t0Incoming_ = incoming;
      if (outgoing) {
        finish(RunT0(t0Header_, {}), true);
        return out;
      }
      t0Need_ = t0Header_[4];
      if (t0Need_ == 0) {
        finish(RunT0(t0Header_, {}), false);
        return out;
      }
      Bytes nulls = T0Procedure1();
      out.insert(out.end(), nulls.begin(), nulls.end());
      t0FirstSent_ = config_.t0Procedure == T0Procedure::kAllAtOnce;
      out.push_back(t0FirstSent_ ? ins : static_cast<std::uint8_t>(~ins));
      continue;
    }
    if (t0Need_ == 0) continue;  // surplus characters are not read
    t0Data_.push_back(b);
    if (--t0Need_ == 0) {
      finish(RunT0(t0Header_, t0Data_), false);
      return out;
    }
    if (config_.t0Procedure == T0Procedure::kByteByByte) {
      out.push_back(static_cast<std::uint8_t>(~ins));
    } else if (config_.t0Procedure == T0Procedure::kMixed && !t0FirstSent_) {
      t0FirstSent_ = true;
      out.push_back(ins);
    }
  }
  return out;
}

// ----- T=1, card side --------------------------------------------------------

Bytes ProcessorCard::Block(std::uint8_t pcb, const Bytes& inf) const {
  Bytes b = {0x00, pcb, static_cast<std::uint8_t>(inf.size())};
  b.insert(b.end(), inf.begin(), inf.end());
  if (info_.crc) {
    std::uint16_t crc = Crc16(b.data(), b.size());
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    b.push_back(static_cast<std::uint8_t>(crc));
  } else {
    b.push_back(Lrc(b.data(), b.size()));
  }
  return b;
}

Bytes ProcessorCard::Send(Bytes block) {
  lastBlock_ = block;
  if (corruptNext_ > 0) {
    --corruptNext_;
    block.back() ^= 0x5A;
  }
  return block;
}

Bytes ProcessorCard::RBlock(std::uint8_t error) {
  return Send(Block(static_cast<std::uint8_t>(0x80 | (nr_ << 4) | error), {}));
}

Bytes ProcessorCard::NextChunk() {
  std::size_t n = std::min<std::size_t>(ifsd_, txRemaining_.size());
  Bytes chunk(txRemaining_.begin(), txRemaining_.begin() + static_cast<long>(n));
  txRemaining_.erase(txRemaining_.begin(), txRemaining_.begin() + static_cast<long>(n));
  bool more = !txRemaining_.empty();
  std::uint8_t pcb = static_cast<std::uint8_t>((ns_ << 6) | (more ? 0x20 : 0));
  ns_ ^= 1;
  txChaining_ = more;
  return Block(pcb, chunk);
}

Bytes ProcessorCard::StartAnswer(Bytes response, vk::Nanos* busy) {
  if (ifsRequest_) {
    deferred_ = std::move(response);
    deferredValid_ = true;
    std::uint8_t size = *ifsRequest_;
    ifsRequest_.reset();
    return Send(Block(0xC1, {size}));
  }
  txRemaining_ = std::move(response);
  return Send(NextChunk());
}

ApduResult ProcessorCard::RunApdu(const Bytes& a) {
  if (a.size() < 4) return Sw(0x67, 0x00);
  Bytes data;
  int le = -1;
  if (a.size() == 5) {
    le = a[4] ? a[4] : 256;
  } else if (a.size() > 5) {
    std::size_t lc = a[4];
    if (lc == 0) return Sw(0x67, 0x00);  // extended lengths are not supported
    if (a.size() == 5 + lc) {
    } else if (a.size() == 6 + lc) {
      le = a.back() ? a.back() : 256;
    } else {
      return Sw(0x67, 0x00);
    }
    data.assign(a.begin() + 5, a.begin() + 5 + static_cast<long>(lc));
  }
  return fs_.Execute(a[0], a[1], a[2], a[3], data, le);
}

Bytes ProcessorCard::T1Receive(const Bytes& block, vk::Nanos* busy) {
  *busy = 0;
  if (!active_ || stuck_ || protocol_ != 1 || config_.mute) return {};
  ++blocksReceived_;
  if (ignoreNext_ > 0) {
    --ignoreNext_;
    return {};
  }
  std::size_t edc = info_.crc ? 2 : 1;
  if (block.size() < 3 + edc) return RBlock(2);
  std::size_t body = block.size() - edc;
  bool edcOk;
  if (info_.crc) {
    std::uint16_t crc = Crc16(block.data(), body);
    edcOk = block[body] == static_cast<std::uint8_t>(crc >> 8) &&
            block[body + 1] == static_cast<std::uint8_t>(crc);
  } else {
    edcOk = Lrc(block.data(), body) == block[body];
  }
  if (!edcOk) return RBlock(1);
  std::size_t len = block[2];
  if (len == 0xFF || block.size() != 3 + len + edc) return RBlock(2);
  std::uint8_t pcb = block[1];
  Bytes inf(block.begin() + 3, block.begin() + 3 + static_cast<long>(len));

  if ((pcb & 0x80) == 0) {  // I-block
    if (len > ifsc_) return RBlock(2);
    std::uint8_t ns = (pcb >> 6) & 1;
    if (ns != nr_) return RBlock(2);
    txChaining_ = false;
    txRemaining_.clear();
    nr_ ^= 1;
    rxChain_.insert(rxChain_.end(), inf.begin(), inf.end());
    if (rxChain_.size() > 1024) {
      rxChain_.clear();
      return RBlock(2);
    }
    if (pcb & 0x20) return RBlock(0);  // acknowledges, asks for the next part
    Bytes apdu = std::move(rxChain_);
    rxChain_.clear();
    ApduResult r = RunApdu(apdu);
    Bytes response = r.data;
    response.push_back(r.sw1);
    response.push_back(r.sw2);
    vk::Nanos bwt = BlockWaitingTime(info_.bwi, f_, d_);
    if (config_.processingTime > bwt) {
      wtxPending_ = true;
      pendingResponse_ = std::move(response);
      vk::Nanos m = (config_.processingTime + bwt - 1) / bwt;
      if (m > 255) m = 255;
      return Send(Block(0xC3, {static_cast<std::uint8_t>(m)}));
    }
    *busy = config_.processingTime;
    return StartAnswer(std::move(response), busy);
  }

  if ((pcb & 0xC0) == 0x80) {  // R-block
    if ((pcb & 0x2C) != 0 || len != 0) return RBlock(2);
    std::uint8_t nr = (pcb >> 4) & 1;
    if (txChaining_ && nr == ns_) return Send(NextChunk());
    if (lastBlock_.empty()) return RBlock(2);
    return Send(lastBlock_);
  }

  switch (pcb) {  // S-block
    case 0xC0:  // RESYNCH request
      ns_ = nr_ = 0;
      ifsd_ = 32;
      ifsc_ = info_.ifsc;
      rxChain_.clear();
      txRemaining_.clear();
      txChaining_ = false;
      wtxPending_ = false;
      deferredValid_ = false;
      ++resyncs_;
      return Send(Block(0xE0, {}));
    case 0xC1:  // IFS request
      if (len != 1 || inf[0] == 0 || inf[0] == 0xFF) return RBlock(2);
      ifsd_ = inf[0];
      return Send(Block(0xE1, inf));
    case 0xC2:  // ABORT request
      rxChain_.clear();
      txRemaining_.clear();
      txChaining_ = false;
      return Send(Block(0xE2, {}));
    case 0xE3:  // WTX response
      if (!wtxPending_ || len != 1) return RBlock(2);
      wtxPending_ = false;
      *busy = config_.processingTime;
      return StartAnswer(std::move(pendingResponse_), busy);
    case 0xE1:  // IFS response to the card's own request
      if (!deferredValid_ || len != 1 || inf[0] == 0 || inf[0] == 0xFF) return RBlock(2);
      ifsc_ = inf[0];
      deferredValid_ = false;
      txRemaining_ = std::move(deferred_);
      return Send(NextChunk());
    default:
      return RBlock(2);
  }
}

// ---------------------------------------------------------------------------

MemoryCard::MemoryCard(MemoryCardConfig config)
    : config_(std::move(config)), data_(config_.size, 0xFF), retriesLeft_(config_.retries) {}

Bytes MemoryCard::Reset(bool warm) {
  (void)warm;
  active_ = true;
  verified_ = false;
  return config_.atr;
}

std::uint8_t MemoryCard::Read(std::size_t address, std::size_t length, Bytes* out) const {
  if (length == 0 || address >= data_.size() || length > data_.size() - address) return kBadAddress;
  out->assign(data_.begin() + static_cast<long>(address),
              data_.begin() + static_cast<long>(address + length));
  return kOk;
}

std::uint8_t MemoryCard::Write(std::size_t address, const Bytes& data) {
  if (data.empty() || address >= data_.size() || data.size() > data_.size() - address) return kBadAddress;
  if (Protected() && !verified_) return kPinRequired;
  std::copy(data.begin(), data.end(), data_.begin() + static_cast<long>(address));
  return kOk;
}

std::uint8_t MemoryCard::Verify(const Bytes& pin, std::uint8_t* retriesLeft) {
  if (!Protected()) {
    *retriesLeft = 0;
    return kOk;
  }
  if (retriesLeft_ == 0) {
    *retriesLeft = 0;
    return kLocked;
  }
  if (pin == config_.pin) {
    retriesLeft_ = config_.retries;
    verified_ = true;
    *retriesLeft = static_cast<std::uint8_t>(retriesLeft_);
    return kOk;
  }
  --retriesLeft_;
  verified_ = false;
  *retriesLeft = static_cast<std::uint8_t>(retriesLeft_);
  return retriesLeft_ ? kWrongPin : kLocked;
}

// ---------------------------------------------------------------------------

std::shared_ptr<ProcessorCard> MakeT0Card(std::uint64_t seed) {
  ProcessorCardConfig c;
  c.atr.ta1 = 0x13;
  c.atr.historical = Text("SIM T0");
  c.seed = seed;
  return std::make_shared<ProcessorCard>(c);
}

std::shared_ptr<ProcessorCard> MakeT1Card(std::uint64_t seed) {
  ProcessorCardConfig c;
  c.atr.ta1 = 0x13;
  c.atr.t0 = false;
  c.atr.t1 = true;
  c.atr.historical = Text("SIM T1");
  c.seed = seed;
  return std::make_shared<ProcessorCard>(c);
}

std::shared_ptr<ProcessorCard> MakeDualCard(std::uint64_t seed) {
  ProcessorCardConfig c;
  c.atr.ta1 = 0x13;
  c.atr.t0 = true;
  c.atr.t1 = true;
  c.atr.historical = Text("SIM DUAL");
  c.seed = seed;
  return std::make_shared<ProcessorCard>(c);
}

std::shared_ptr<ProcessorCard> MakeSam(std::uint64_t seed) {
  ProcessorCardConfig c;
  c.atr.ta1 = 0x11;
  c.atr.historical = Text("SIM SAM");
  c.seed = seed;
  return std::make_shared<ProcessorCard>(c);
}

std::shared_ptr<MemoryCard> MakeMemoryCard(bool pinProtected) {
  MemoryCardConfig c;
  if (pinProtected) {
    c.cardType = 0x03;
    c.pin = {0x12, 0x34, 0x56};
  }
  return std::make_shared<MemoryCard>(c);
}

}  // namespace sim
