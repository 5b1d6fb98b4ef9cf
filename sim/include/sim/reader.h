// The simulated reader on the far end of the serial line: its frame
// decoder, its eight commands, the two slots with their cards, the modem
// lines, the host's DTR, and faults on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/line.h"
#include "sim/bytes.h"
#include "sim/card.h"
#include "sim/frame.h"
#include "sim/trace.h"

namespace sim {

enum class FaultKind {
  kNak,          // the NAK frame instead of the reply; the command is not carried out
  kBadCheck,     // the command is carried out, its reply goes out with a wrong check byte
  kNoise,        // `count` bytes of noise (never 0x10) ahead of the reply frame
  kSplit,        // the reply leaves in chunks `time` apart (cuts: see Fault)
  kDelay,        // the reply's first byte is held back by `time`
  kSilence,      // no reply; the command is not carried out
  kEndless,      // DLE STX and then `count` data bytes with no DLE ETX
  kOversize,     // a good data reply whose payload has `count` bytes (> 1048 frame bytes)
  kWrongLength,  // the length at reply offsets 2..3 is off by `delta`
  kLongAtr,      // an answer-to-reset reply whose ATR is padded to `count` bytes
  kUnplug,       // the reader is unplugged (DSR drops) instead of answering
};

struct Fault {
  FaultKind kind = FaultKind::kNak;
  vk::Nanos time = 0;
  std::size_t count = 0;
  int delta = 1;
  // kSplit: byte offsets of the reply frame where a new chunk starts. Empty
  // with `count` set: chunks of `count` bytes. Both empty: a cut after every
  // DLE of the frame (so also between DLE and STX, DLE and ETX).
  std::vector<std::size_t> cuts;
  int letter = -1;  // only the reply to this command letter (-1: any)
  int slot = -1;    // only commands for this slot byte (-1: any)
};

std::string FaultName(FaultKind kind);

struct ReaderConfig {
  std::string firmware = "0011";   // four ASCII digits at identification bytes 12..15
  Bytes identification;            // 16 bytes; empty: "VX710RD SIM " and the digits
  std::shared_ptr<Card> userCard;  // slot 0; null: empty slot
  std::shared_ptr<Card> sam;       // slot 1; null: no SAM fitted
  std::uint64_t seed = 1;
  // Time from the first rise of DTR after the reader came up (boot), and from
  // any later rise, until the reader listens and answers.
  vk::Nanos bootSettle = 2 * vk::kSecond;
  vk::Nanos dtrSettle = 1 * vk::kSecond;
  // Off where the line has no DTR (a pseudo-terminal): the reader behaves
  // as if DTR were raised and settled from the start.
  bool useDtr = true;
  std::uint32_t initialRate = 19200;
  vk::Nanos commandTime = 1 * vk::kMillisecond;  // the reader's own work per command
  // A frame whose next byte takes longer than this is dropped unfinished.
  vk::Nanos interCharacterTimeout = 1 * vk::kSecond;
};

struct SlotState {
  bool present = false;
  bool powered = false;
  int protocol = 0;      // as set by SET_PARAMETERS (0 or 1)
  bool crc = false;
  bool inverse = false;
  std::uint8_t guard = 0;
  std::uint8_t waiting = 20;   // T=0 waiting value, units of 960 etu
  std::uint8_t bwiCwi = 0x4D;
  std::uint8_t wtx = 0;        // multiplier for the next T=1 block only
};

class Reader : public vk::FarEndListener {
 public:
  Reader(vk::FarEnd& line, ReaderConfig config);
  ~Reader() override;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Cards. `at` is a time on the line's clock; at or before now means now.
  // Slot 0 drives CTS.
  void InsertCard(std::shared_ptr<Card> card, int slot = 0, vk::Nanos at = 0);
  void RemoveCard(int slot = 0, vk::Nanos at = 0);
  std::shared_ptr<Card> CardIn(int slot) const;

  // The reader cable: unplugged, DSR and CTS drop and the reader is gone;
  // plugged back in, it boots again (19200 bit/s, cards unpowered).
  void Unplug(vk::Nanos at = 0);
  void Replug(vk::Nanos at = 0);

  // Faults. A queued fault (or group) applies to the next reply that matches
  // its letter and slot filters; a rate applies to every reply with the given
  // probability, drawn from the seeded generator.
  void QueueFault(Fault fault) { QueueFaults({std::move(fault)}); }
  void QueueFaults(std::vector<Fault> faults);
  void SetFaultRate(Fault fault, double probability);
  void ClearFaults();

  Trace& GetTrace() { return trace_; }

  // State, for tests and the command-line program.
  bool Present() const { return present_; }
  bool Listening() const;
  std::uint32_t FirmwareVersion() const { return firmware_; }
  const SlotState& Slot(int slot) const { return slots_[slot & 1].state; }
  std::uint32_t Rate() const { return line_.Rate(); }
  std::uint64_t CommandsCarriedOut() const { return commands_; }

  // vk::FarEndListener
  void OnReceive(std::uint8_t byte, bool garbled) override;
  void OnHostLines(bool dtr, bool rts) override;
  void OnHostBreak(bool on) override;

 private:
  struct SlotData {
    std::shared_ptr<Card> card;
    SlotState state;
  };
  struct Reply {
    Bytes payload;              // empty: no reply
    vk::Nanos delay = 0;        // time before the first byte
    std::uint32_t newRate = 0;  // switch to this rate once the reply is out
  };
  struct FaultGroup {
    std::vector<Fault> faults;
  };

  void Event(const std::string& name, const std::string& fields);
  void UpdateLines();
  void At(vk::Nanos at, std::function<void()> fn);
  void Hold();      // host interface stopped: nothing in, nothing out
  void Boot();
  void HandleFrame(const Bytes& payload);
  void Nak(const char* why);
  Reply Execute(const Bytes& payload, bool* malformed);
  Reply PowerUp(int slot, bool warm);
  Reply CardExchange(int slot, const Bytes& block);
  Reply MemTransmit(int slot, const Bytes& block);
  Bytes T0Exchange(SlotData& s, const Bytes& tpdu, vk::Nanos* time);
  Bytes T1Exchange(SlotData& s, const Bytes& block, vk::Nanos* time);
  Bytes PtsExchange(SlotData& s, const Bytes& request, vk::Nanos* time);
  void ApplyCardParameters(SlotData& s);
  std::vector<Fault> PickFaults(std::uint8_t letter, int slot);
  void Transmit(std::uint8_t letter, Bytes payload, vk::Nanos delay, const std::vector<Fault>& faults,
                std::uint32_t newRate);
  void SendChunks(std::vector<std::pair<vk::Nanos, Bytes>> chunks, std::uint32_t newRate);
  void SwitchRateWhenSent(std::uint32_t rate);

  vk::FarEnd& line_;
  ReaderConfig config_;
  Trace trace_;
  Rng rng_;
  FrameDecoder decoder_;
  SlotData slots_[2];
  Bytes identification_;
  std::uint32_t firmware_ = 0;
  bool present_ = true;
  bool dtr_ = false;
  bool booted_ = false;   // DTR has risen once since the reader came up
  vk::Nanos readyAt_ = 0;
  vk::Nanos lastByte_ = 0;
  bool busy_ = false;
  std::uint64_t generation_ = 0;  // bumps on hold/unplug; stale callbacks do nothing
  std::vector<vk::EventQueue::Handle> pending_;
  std::vector<FaultGroup> queued_;
  std::vector<std::pair<Fault, double>> rates_;
  std::uint64_t commands_ = 0;
  std::shared_ptr<bool> alive_;
};

}  // namespace sim
