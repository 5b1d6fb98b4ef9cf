#include "sim/trace.h"

#include <cstdio>

namespace sim {

namespace {

std::string Num(const char* key, unsigned v, bool hex = false) {
  char buf[48];
  std::snprintf(buf, sizeof buf, hex ? "%s=%02X" : "%s=%u", key, v);
  return buf;
}

std::string Join(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string& p : parts) {
    if (p.empty()) continue;
    if (!s.empty()) s += ' ';
    s += p;
  }
  return s;
}

std::string Block(const Bytes& p, std::size_t from, std::size_t length) {
  if (from >= p.size()) return "data=";
  std::size_t n = p.size() - from;
  if (length < n) n = length;
  const std::size_t kShown = 48;
  std::string s = "data=" + Hex(p.data() + from, n < kShown ? n : kShown);
  if (n > kShown) s += " ...";
  return s;
}

}  // namespace

void Trace::Record(TraceEntry entry) {
  if (sink_) sink_(entry);
  if (keep_) entries_.push_back(std::move(entry));
}

std::string Trace::Format(const TraceEntry& e) {
  char head[64];
  const char* dir = e.direction == Direction::kHostToReader   ? "H>R"
                    : e.direction == Direction::kReaderToHost ? "R>H"
                                                              : "---";
  std::snprintf(head, sizeof head, "%12.6f %s ", static_cast<double>(e.time) / 1e9, dir);
  std::string s = head + e.name;
  if (!e.fields.empty()) s += " " + e.fields;
  if (!e.raw.empty()) {
    const std::size_t kShown = 64;
    s += " | " + Hex(e.raw.data(), e.raw.size() < kShown ? e.raw.size() : kShown);
    if (e.raw.size() > kShown) s += " ... (" + std::to_string(e.raw.size()) + " bytes)";
  }
  return s;
}

void DescribeCommand(const Bytes& p, std::string* name, std::string* fields) {
  fields->clear();
  if (p.empty()) {
    *name = "EMPTY";
    return;
  }
  std::string slot = p.size() > 1 ? Num("slot", p[1]) : "";
  switch (p[0]) {
    case 0x60: *name = "READER_TYPE"; break;
    case 0x61: *name = "SET_PARAMETERS"; break;
    case 0x62: *name = "POWER_UP"; break;
    case 0x63: *name = "POWER_DOWN"; break;
    case 0x64: *name = "WARM_RESET"; break;
    case 0x65: *name = "READER_STATUS"; break;
    case 0x67: *name = "CARD_EXCHANGE"; break;
    case 0x6B: *name = "MEM_TRANSMIT"; break;
    default: *name = "UNKNOWN"; *fields = Num("letter", p[0], true); return;
  }
  if (p[0] == 0x61 && p.size() >= 8) {
    *fields = Join({slot, Num("flags", p[3], true), Num("guard", p[4]), Num("wi", p[5]),
                    Num("bwi_cwi", p[6], true), Num("wtx", p[7])});
  } else if ((p[0] == 0x67 || p[0] == 0x6B) && p.size() >= 5) {
    unsigned n = static_cast<unsigned>(p[3] << 8 | p[4]);
    std::string kind;
    if (p[0] == 0x67 && p.size() > 5 && p[5] == 0xFF) kind = "pts";
    *fields = Join({slot, Num("len", n), kind, Block(p, 5, n)});
  } else {
    *fields = slot;
  }
}

void DescribeReply(const Bytes& p, int commandLetter, std::string* name, std::string* fields) {
  fields->clear();
  if (p.empty()) {
    *name = "EMPTY";
    return;
  }
  if (p.size() == 1 && p[0] == 0x15) {
    *name = "NAK";
    return;
  }
  std::string slot = p.size() > 1 ? Num("slot", p[1]) : "";
  unsigned n = p.size() >= 4 ? static_cast<unsigned>(p[2] << 8 | p[3]) : 0;
  switch (p[0]) {
    case 0x60:
      *name = "TYPE";
      *fields = Join({Num("len", n), Block(p, 4, n)});
      return;
    case 0x61:
      *name = "STATUS";
      *fields = Join({p.size() > 4 ? Num("user", p[4], true) : "", p.size() > 5 ? Num("sam", p[5], true) : ""});
      return;
    case 0x62:
      *name = "ACK";
      *fields = slot;
      return;
    case 0x64:
      *name = (commandLetter == 0x62 || commandLetter == 0x64) ? "ATR" : "DATA";
      *fields = Join({slot, Num("len", n), Block(p, 4, n)});
      return;
    case 0x67:
      *name = "NO_CARD";
      *fields = slot;
      return;
    default:
      *name = "REPLY";
      *fields = Num("letter", p[0], true);
      return;
  }
}

}  // namespace sim
