// The simulated cards, seen from the reader's contacts.
//
// The reader talks to a card the way a real interface device does: it
// activates and resets it and takes its answer-to-reset, sends a PTS request
// right after it, and then exchanges T=0 characters (the reader plays the
// procedure bytes itself) or whole T=1 blocks. Times a card needs are
// returned as virtual durations; the reader turns them into delays and
// time-outs on its side.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/line.h"
#include "sim/atr.h"
#include "sim/bytes.h"

namespace sim {

// Card clock of the reader, in Hz.
constexpr double kCardClockHz = 3571000.0;

// Time of one elementary time unit at F and D.
vk::Nanos Etu(unsigned f, unsigned d);
// Block waiting time for BWI at the default F, plus 11 etu (ISO/IEC 7816-3).
vk::Nanos BlockWaitingTime(std::uint8_t bwi, unsigned f = 372, unsigned d = 1);

class MemoryCard;

class Card {
 public:
  virtual ~Card() = default;

  // Activation (warm = false) or a reset of an active card (warm = true).
  // Returns the answer-to-reset; empty when the card stays mute.
  virtual Bytes Reset(bool warm) = 0;
  virtual void Deactivate() = 0;
  virtual bool Active() const = 0;

  // The byte that newer reader firmware puts ahead of the answer-to-reset:
  // 0x01 processor card, 0x02 and 0x03 memory cards.
  virtual std::uint8_t CardType() const = 0;

  // PTS request from the reader. Returns the card's answer; empty when the
  // card stays silent.
  virtual Bytes Pts(const Bytes& request) { return {}; }

  // Parameters in force on the card's side of the contacts.
  virtual int ActiveProtocol() const { return -1; }  // 0, 1, or -1 (none)
  virtual bool Inverse() const { return false; }
  virtual bool UsesCrc() const { return false; }
  virtual unsigned F() const { return 372; }
  virtual unsigned D() const { return 1; }

  // T=0: the reader starts a new command; the card drops any half-received one.
  virtual void T0Begin() {}
  // T=0: characters from the reader. Returns what the card sends until it
  // waits for more input or has finished; *busy is the time it thought before
  // the first of them.
  virtual Bytes T0Receive(const std::uint8_t* data, std::size_t length, vk::Nanos* busy) {
    *busy = 0;
    return {};
  }

  // T=1: one block from the reader. Returns the card's block (empty: the
  // card does not answer); *busy is the time before its first character.
  virtual Bytes T1Receive(const Bytes& block, vk::Nanos* busy) {
    *busy = 0;
    return {};
  }

  virtual MemoryCard* Memory() { return nullptr; }
};

// ---------------------------------------------------------------------------
// Processor cards: T=0, T=1 or both, over one small ISO/IEC 7816-4 file system.

struct ApduResult {
  Bytes data;
  std::uint8_t sw1 = 0x90, sw2 = 0x00;
};

// MF 3F00 holds EF 0001 (300 bytes, byte i = i mod 256, read only),
// EF 0002 (64 bytes of 00, updatable) and DF 5000, which holds EF 5001
// (16 bytes "SIMULATED CARD  ", read only).
// SELECT (by file identifier), READ BINARY, UPDATE BINARY, GET CHALLENGE,
// GET RESPONSE (T=0 only).
class FileSystem {
 public:
  explicit FileSystem(std::uint64_t seed);
  // le: -1 when the command has no Le, else 1..256.
  ApduResult Execute(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                     const Bytes& data, int le);
  void Reset();  // back to the MF, nothing selected
  const Bytes* FileData(std::uint16_t fid) const;

 private:
  struct File {
    std::uint16_t fid;
    std::uint16_t parent;
    bool df;
    bool writable;
    Bytes data;
  };
  File* Find(std::uint16_t fid);
  Bytes Fci(const File& f) const;

  std::vector<File> files_;
  std::uint16_t currentDf_ = 0x3F00;
  std::optional<std::uint16_t> currentEf_;
  Rng rng_;
};

enum class PtsMode {
  kAccept,     // accepts what it supports, echoes the request
  kSilent,     // never answers a PTS (and then needs a reset)
  kBadCheck,   // answers with a wrong PCK
  kWrongEcho,  // answers with another PTS1 than the one asked for
};

enum class T0Procedure {
  kAllAtOnce,   // INS: all remaining data in one go
  kByteByByte,  // complement of INS before every single byte
  kMixed,       // complement of INS for the first byte, then INS for the rest
};

struct ProcessorCardConfig {
  AtrParameters atr;                   // used when rawAtr is empty
  Bytes rawAtr;                  // sent as it is, and read for the card's parameters
  bool mute = false;             // no answer-to-reset at all
  std::uint8_t cardType = 0x01;
  PtsMode pts = PtsMode::kAccept;
  T0Procedure t0Procedure = T0Procedure::kAllAtOnce;
  unsigned t0NullBytes = 0;      // 60 bytes before each procedure byte
  vk::Nanos processingTime = 2 * vk::kMillisecond;  // per command
  std::uint64_t seed = 1;
};

class ProcessorCard : public Card {
 public:
  explicit ProcessorCard(ProcessorCardConfig config);

  Bytes Reset(bool warm) override;
  void Deactivate() override;
  bool Active() const override { return active_; }
  std::uint8_t CardType() const override { return config_.cardType; }
  Bytes Pts(const Bytes& request) override;
  int ActiveProtocol() const override { return active_ ? protocol_ : -1; }
  bool Inverse() const override { return info_.inverse; }
  bool UsesCrc() const override { return info_.crc; }
  unsigned F() const override { return f_; }
  unsigned D() const override { return d_; }
  void T0Begin() override;
  Bytes T0Receive(const std::uint8_t* data, std::size_t length, vk::Nanos* busy) override;
  Bytes T1Receive(const Bytes& block, vk::Nanos* busy) override;

  // Run-time settings.
  void SetPtsMode(PtsMode mode) { config_.pts = mode; }
  void SetProcessingTime(vk::Nanos t) { config_.processingTime = t; }
  void SetT0Procedure(T0Procedure p, unsigned nullBytes) {
    config_.t0Procedure = p;
    config_.t0NullBytes = nullBytes;
  }
  // T=1 card faults on demand: the next n blocks the card sends carry a
  // wrong EDC (a retransmission is right again); the next n blocks the card
  // receives are lost (it does not answer).
  void CorruptNextBlocks(int n) { corruptNext_ = n; }
  void IgnoreNextBlocks(int n) { ignoreNext_ = n; }
  // The card asks for a new IFSC with an S(IFS request) before its next answer.
  void RequestIfs(std::uint8_t ifsc) { ifsRequest_ = ifsc; }

  const Bytes& Atr() const { return atr_; }
  const AtrInfo& Info() const { return info_; }
  FileSystem& Files() { return fs_; }
  // T=1 state as the card sees it.
  std::uint8_t Ifsc() const { return ifsc_; }
  std::uint8_t Ifsd() const { return ifsd_; }
  int ResyncCount() const { return resyncs_; }
  int BlocksReceived() const { return blocksReceived_; }

 private:
  // T=0 card side
  ApduResult RunT0(const Bytes& header, const Bytes& data);
  Bytes T0Procedure1();  // one procedure byte (with null bytes ahead)
  // T=1 card side
  Bytes Block(std::uint8_t pcb, const Bytes& inf) const;
  Bytes Send(Bytes block);  // records the last block, applies corruption
  Bytes RBlock(std::uint8_t error);
  Bytes NextChunk();
  Bytes StartAnswer(Bytes response, vk::Nanos* busy);
  ApduResult RunApdu(const Bytes& apdu);

  ProcessorCardConfig config_;
  Bytes atr_;
  AtrInfo info_;
  FileSystem fs_;
  bool active_ = false;
  bool ptsAllowed_ = false;
  bool stuck_ = false;  // after a PTS that went wrong: mute until reset
  int protocol_ = 0;
  unsigned f_ = 372, d_ = 1;

  // T=0
  Bytes t0Header_;
  Bytes t0Data_;
  std::size_t t0Need_ = 0;
  bool t0Incoming_ = false;
  bool t0FirstSent_ = false;
  Bytes t0Pending_;  // response kept for GET RESPONSE
  std::uint8_t t0PendingSw2_ = 0;

  // T=1
  std::uint8_t ns_ = 0;  // N(S) of the card's next I-block
  std::uint8_t nr_ = 0;  // N(S) expected in the host's next I-block
  std::uint8_t ifsc_ = 32;
  std::uint8_t ifsd_ = 32;
  Bytes rxChain_;
  Bytes txRemaining_;
  bool txChaining_ = false;
  Bytes lastBlock_;
  bool wtxPending_ = false;
  Bytes pendingResponse_;
  Bytes deferred_;  // response held back behind the card's own IFS request
  bool deferredValid_ = false;
  std::optional<std::uint8_t> ifsRequest_;
  int corruptNext_ = 0;
  int ignoreNext_ = 0;
  int resyncs_ = 0;
  int blocksReceived_ = 0;
};

// ---------------------------------------------------------------------------
// Memory cards behind the reader's own memory-card command set.

struct MemoryCardConfig {
  std::uint8_t cardType = 0x02;  // 0x02 plain memory, 0x03 PIN-protected
  Bytes atr = {0xA2, 0x13, 0x10, 0x91};
  std::size_t size = 256;
  Bytes pin;                     // empty: writes need no PIN
  unsigned retries = 3;
};

class MemoryCard : public Card {
 public:
  // Status bytes of the memory-card command set.
  enum : std::uint8_t {
    kOk = 0x00,
    kBadAddress = 0x02,
    kPinRequired = 0x03,
    kWrongPin = 0x04,
    kLocked = 0x05,
  };

  explicit MemoryCard(MemoryCardConfig config);
  Bytes Reset(bool warm) override;
  void Deactivate() override { active_ = false; verified_ = false; }
  bool Active() const override { return active_; }
  std::uint8_t CardType() const override { return config_.cardType; }
  MemoryCard* Memory() override { return this; }

  std::uint8_t Read(std::size_t address, std::size_t length, Bytes* out) const;
  std::uint8_t Write(std::size_t address, const Bytes& data);
  std::uint8_t Verify(const Bytes& pin, std::uint8_t* retriesLeft);
  std::size_t Size() const { return data_.size(); }
  bool Protected() const { return !config_.pin.empty(); }
  const Bytes& Contents() const { return data_; }

 private:
  MemoryCardConfig config_;
  Bytes data_;
  bool active_ = false;
  bool verified_ = false;
  unsigned retriesLeft_;
};

// ---------------------------------------------------------------------------
// Ready-made cards.

std::shared_ptr<ProcessorCard> MakeT0Card(std::uint64_t seed = 1);
std::shared_ptr<ProcessorCard> MakeT1Card(std::uint64_t seed = 1);
// Offers T=0 first and T=1, TA1 = 0x13 (D = 4): a PTS selects either.
std::shared_ptr<ProcessorCard> MakeDualCard(std::uint64_t seed = 1);
// The SAM of slot 1: T=0, TA1 = 0x11, its own historical bytes.
std::shared_ptr<ProcessorCard> MakeSam(std::uint64_t seed = 2);
std::shared_ptr<MemoryCard> MakeMemoryCard(bool pinProtected = false);

// T=1 error detection codes as the simulated cards compute them.
std::uint8_t Lrc(const std::uint8_t* data, std::size_t length);
// CRC-16, polynomial x^16 + x^12 + x^5 + 1, register preset to FFFF, bits
// taken least significant first, no final inversion; sent high byte first.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length);

}  // namespace sim
