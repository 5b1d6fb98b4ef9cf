// A decoded record of what crossed the line: every command frame the reader
// took in, every reply it sent (with the fault applied, if any), and the
// events around them (modem lines, cards, rate changes).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/line.h"
#include "sim/bytes.h"

namespace sim {

enum class Direction { kHostToReader, kReaderToHost, kEvent };

struct TraceEntry {
  vk::Nanos time = 0;      // last byte in (commands), first byte out (replies)
  Direction direction = Direction::kEvent;
  Bytes raw;               // the bytes on the line (empty for events)
  std::string name;        // "READER_TYPE", "DATA", "NAK", "CTS", ...
  std::string fields;      // "slot=0 len=12 ..."
};

class Trace {
 public:
  // Called for every entry as it is recorded.
  void SetSink(std::function<void(const TraceEntry&)> sink) { sink_ = std::move(sink); }
  // Whether entries are also kept in memory (on by default).
  void SetKeep(bool keep) { keep_ = keep; }
  void Record(TraceEntry entry);
  const std::vector<TraceEntry>& Entries() const { return entries_; }
  void Clear() { entries_.clear(); }

  // "    2.001234 H>R READER_TYPE slot=0 | 10 02 60 00 00 60 10 03"
  static std::string Format(const TraceEntry& entry);

 private:
  std::function<void(const TraceEntry&)> sink_;
  std::vector<TraceEntry> entries_;
  bool keep_ = true;
};

// Names and fields of a command payload, and of a reply payload to a command
// with the given letter (-1: not known).
void DescribeCommand(const Bytes& payload, std::string* name, std::string* fields);
void DescribeReply(const Bytes& payload, int commandLetter, std::string* name, std::string* fields);

}  // namespace sim
