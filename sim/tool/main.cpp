// vx7-readersim: the simulated reader on a pseudo-terminal, in real time.
//
//   vx7-readersim --pty [options]
//
// Prints "pty: PATH" as its first line and serves the pseudo-terminal until
// SIGTERM or SIGINT. See docs/simulator.md for the options.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pty_line.h"
#include "sim/reader.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  ssize_t ignored = write(gSignalPipe[1], &c, 1);
  (void)ignored;
}

void Usage(FILE* out) {
  std::fputs(
      "usage: vx7-readersim --pty [options]\n"
      "  --firmware DIGITS      firmware digits (default 0011)\n"
      "  --id HEX               16 identification bytes\n"
      "  --user KIND            t0 | t1 | dual | memory | memory-pin | mute | none (default t1)\n"
      "  --user-atr HEX         answer-to-reset of the user card (processor cards)\n"
      "  --sam KIND             t0 | t1 | none (default t0)\n"
      "  --pts MODE             accept | silent | badcheck | wrongecho (user card)\n"
      "  --t0-procedure MODE    all | byte | mixed (user card)\n"
      "  --null-bytes N         60 bytes before each T=0 procedure byte\n"
      "  --card-time MS         user card's time per command (T=1: above BWT asks WTX)\n"
      "  --fault FAULT           one-shot fault for the next matching reply (repeatable)\n"
      "  --fault-rate FAULT      fault at a rate: FAULT ends with ,p=PROBABILITY\n"
      "                         FAULT = KIND[,time=MS][,count=N][,delta=N][,letter=HEX]\n"
      "                                [,slot=N][,cuts=A/B/...]\n"
      "                         KIND = nak badcheck noise split delay silence endless\n"
      "                                oversize wronglength longatr unplug\n"
      "  --insert-at S, --remove-at S, --unplug-at S, --replug-at S   events in seconds\n"
      "  --seed N               seed of the fault generator and the cards\n"
      "  --trace                decoded trace of the line on standard error\n",
      out);
}

bool ParseKind(const std::string& s, sim::FaultKind* kind) {
  static const std::pair<const char*, sim::FaultKind> kKinds[] = {
      {"nak", sim::FaultKind::kNak},           {"badcheck", sim::FaultKind::kBadCheck},
      {"noise", sim::FaultKind::kNoise},       {"split", sim::FaultKind::kSplit},
      {"delay", sim::FaultKind::kDelay},       {"silence", sim::FaultKind::kSilence},
      {"endless", sim::FaultKind::kEndless},   {"oversize", sim::FaultKind::kOversize},
      {"wronglength", sim::FaultKind::kWrongLength}, {"longatr", sim::FaultKind::kLongAtr},
      {"unplug", sim::FaultKind::kUnplug}};
  for (const auto& [name, k] : kKinds) {
    if (s == name) {
      *kind = k;
      return true;
    }
  }
  return false;
}

bool ParseFault(const std::string& text, sim::Fault* fault, double* probability) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = text.find(',', from);
    parts.push_back(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  if (!ParseKind(parts[0], &fault->kind)) return false;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::size_t eq = parts[i].find('=');
    if (eq == std::string::npos) return false;
    std::string key = parts[i].substr(0, eq), value = parts[i].substr(eq + 1);
    char* end = nullptr;
    if (key == "time") fault->time = static_cast<vk::Nanos>(std::strtod(value.c_str(), &end) * 1e6);
    else if (key == "count") fault->count = std::strtoul(value.c_str(), &end, 10);
    else if (key == "delta") fault->delta = static_cast<int>(std::strtol(value.c_str(), &end, 10));
    else if (key == "letter") fault->letter = static_cast<int>(std::strtol(value.c_str(), &end, 16));
    else if (key == "slot") fault->slot = static_cast<int>(std::strtol(value.c_str(), &end, 10));
    else if (key == "p" && probability) *probability = std::strtod(value.c_str(), &end);
    else if (key == "cuts") {
      std::size_t f = 0;
      while (f <= value.size()) {
        std::size_t slash = value.find('/', f);
        fault->cuts.push_back(std::strtoul(value.substr(f, slash - f).c_str(), nullptr, 10));
        if (slash == std::string::npos) break;
        f = slash + 1;
      }
      continue;
    } else return false;
    if (!end || *end) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool pty = false, trace = false;
  sim::ReaderConfig config;
  std::string user = "t1", samKind = "t0";
  sim::Bytes userAtr;
  sim::PtsMode pts = sim::PtsMode::kAccept;
  sim::T0Procedure procedure = sim::T0Procedure::kAllAtOnce;
  unsigned nullBytes = 0;
  double cardTimeMs = -1;
  std::uint64_t seed = 1;
  std::vector<sim::Fault> oneShot;
  std::vector<std::pair<sim::Fault, double>> rates;
  double insertAt = -1, removeAt = -1, unplugAt = -1, replugAt = -1;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vx7-readersim: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    auto bad = [&](const std::string& v) {
      std::fprintf(stderr, "vx7-readersim: bad value for %s: %s\n", a.c_str(), v.c_str());
      std::exit(2);
    };
    if (a == "--pty") pty = true;
    else if (a == "--trace") trace = true;
    else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--firmware") config.firmware = value();
    else if (a == "--id") {
      std::string v = value();
      if (!sim::ParseHex(v, &config.identification) || config.identification.size() != 16) bad(v);
    } else if (a == "--user") user = value();
    else if (a == "--user-atr") {
      std::string v = value();
      if (!sim::ParseHex(v, &userAtr) || userAtr.empty()) bad(v);
    } else if (a == "--sam") samKind = value();
    else if (a == "--pts") {
      std::string v = value();
      if (v == "accept") pts = sim::PtsMode::kAccept;
      else if (v == "silent") pts = sim::PtsMode::kSilent;
      else if (v == "badcheck") pts = sim::PtsMode::kBadCheck;
      else if (v == "wrongecho") pts = sim::PtsMode::kWrongEcho;
      else bad(v);
    } else if (a == "--t0-procedure") {
      std::string v = value();
      if (v == "all") procedure = sim::T0Procedure::kAllAtOnce;
      else if (v == "byte") procedure = sim::T0Procedure::kByteByByte;
      else if (v == "mixed") procedure = sim::T0Procedure::kMixed;
      else bad(v);
    } else if (a == "--null-bytes") nullBytes = static_cast<unsigned>(std::atoi(value().c_str()));
    else if (a == "--card-time") cardTimeMs = std::atof(value().c_str());
    else if (a == "--seed") seed = std::strtoull(value().c_str(), nullptr, 10);
    else if (a == "--fault") {
      std::string v = value();
      sim::Fault f;
      if (!ParseFault(v, &f, nullptr)) bad(v);
      oneShot.push_back(f);
    } else if (a == "--fault-rate") {
      std::string v = value();
      sim::Fault f;
      double p = -1;
      if (!ParseFault(v, &f, &p) || p < 0) bad(v);
      rates.emplace_back(f, p);
    } else if (a == "--insert-at") insertAt = std::atof(value().c_str());
    else if (a == "--remove-at") removeAt = std::atof(value().c_str());
    else if (a == "--unplug-at") unplugAt = std::atof(value().c_str());
    else if (a == "--replug-at") replugAt = std::atof(value().c_str());
    else {
      std::fprintf(stderr, "vx7-readersim: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (!pty) {
    Usage(stderr);
    return 2;
  }

  auto processor = [&](const std::string& kind, std::uint64_t cardSeed) -> std::shared_ptr<sim::ProcessorCard> {
    std::shared_ptr<sim::ProcessorCard> c;
    if (kind == "t0") c = sim::MakeT0Card(cardSeed);
    else if (kind == "t1") c = sim::MakeT1Card(cardSeed);
    else if (kind == "dual") c = sim::MakeDualCard(cardSeed);
    return c;
  };
  std::shared_ptr<sim::Card> userCard;
  if (user == "memory") userCard = sim::MakeMemoryCard(false);
  else if (user == "memory-pin") userCard = sim::MakeMemoryCard(true);
  else if (user == "mute") {
    sim::ProcessorCardConfig c;
    c.mute = true;
    userCard = std::make_shared<sim::ProcessorCard>(c);
  } else if (user != "none") {
    auto c = processor(user, seed);
    if (!c) {
      std::fprintf(stderr, "vx7-readersim: unknown user card %s\n", user.c_str());
      return 2;
    }
    if (!userAtr.empty() || pts != sim::PtsMode::kAccept || procedure != sim::T0Procedure::kAllAtOnce ||
        nullBytes || cardTimeMs >= 0) {
      sim::ProcessorCardConfig cfg;
      cfg.rawAtr = userAtr.empty() ? c->Atr() : userAtr;
      cfg.pts = pts;
      cfg.t0Procedure = procedure;
      cfg.t0NullBytes = nullBytes;
      if (cardTimeMs >= 0) cfg.processingTime = static_cast<vk::Nanos>(cardTimeMs * 1e6);
      cfg.seed = seed;
      c = std::make_shared<sim::ProcessorCard>(cfg);
    }
    userCard = c;
  }
  std::shared_ptr<sim::Card> sam;
  if (samKind == "t0") sam = sim::MakeSam(seed + 1);
  else if (samKind == "t1") sam = sim::MakeT1Card(seed + 1);
  else if (samKind != "none") {
    std::fprintf(stderr, "vx7-readersim: unknown SAM %s\n", samKind.c_str());
    return 2;
  }

  if (pipe(gSignalPipe) != 0) {
    std::perror("vx7-readersim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sim::RealTimeClock clock;
  sim::PtyLine line(clock);
  if (!line.Open()) {
    std::fprintf(stderr, "vx7-readersim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  config.userCard = userCard;
  config.sam = sam;
  config.seed = seed;
  config.useDtr = false;  // a pseudo-terminal has no DTR: always raised and settled
  sim::Reader reader(line, config);
  if (trace) {
    reader.GetTrace().SetKeep(false);
    reader.GetTrace().SetSink([](const sim::TraceEntry& e) {
      std::fprintf(stderr, "%s\n", sim::Trace::Format(e).c_str());
    });
  }
  for (const sim::Fault& f : oneShot) reader.QueueFault(f);
  for (const auto& [f, p] : rates) reader.SetFaultRate(f, p);
  auto seconds = [](double s) { return static_cast<vk::Nanos>(s * 1e9); };
  if (removeAt >= 0) reader.RemoveCard(0, seconds(removeAt));
  if (insertAt >= 0) reader.InsertCard(userCard ? userCard : sim::MakeT1Card(seed), 0, seconds(insertAt));
  if (unplugAt >= 0) reader.Unplug(seconds(unplugAt));
  if (replugAt >= 0) reader.Replug(seconds(replugAt));

  std::printf("pty: %s\n", line.Path().c_str());
  std::fflush(stdout);

  for (;;) {
    vk::Nanos next = clock.RunDue();
    int timeout = -1;
    if (next >= 0) {
      vk::Nanos wait = next - clock.Now();
      timeout = wait <= 0 ? 0 : static_cast<int>((wait + 999999) / 1000000);
    }
    pollfd fds[2] = {{line.MasterFd(), POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
    int n = poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) {
      std::perror("vx7-readersim: poll");
      return 1;
    }
    if (n > 0 && (fds[1].revents & POLLIN)) break;
    if (n > 0 && (fds[0].revents & POLLIN)) line.OnReadable();
  }
  return 0;
}
