#include "sim/atr.h"

namespace sim {

unsigned FiToF(std::uint8_t fi) {
  static const unsigned kF[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0,
                                  0,   512, 768, 1024, 1536, 2048, 0,   0};
  return kF[fi & 0x0F];
}

unsigned DiToD(std::uint8_t di) {
  static const unsigned kD[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
  return kD[di & 0x0F];
}

Bytes BuildAtr(const AtrParameters& s) {
  struct Group {
    std::optional<std::uint8_t> ta, tb, tc;
    bool td = false;
    std::uint8_t tdProtocol = 0;
  };
  Group g[3];
  g[0].ta = s.ta1;
  g[0].tc = s.tc1;
  g[1].ta = s.ta2;
  g[1].tc = s.tc2;
  if (s.t1) {
    g[2].ta = s.ifsc;
    g[2].tb = static_cast<std::uint8_t>(s.bwi << 4 | (s.cwi & 0x0F));
    g[2].tc = static_cast<std::uint8_t>(s.crc ? 1 : 0);
  }
  bool group2 = g[1].ta || g[1].tc;
  bool onlyT1 = s.t1 && !s.t0;
  int groups = s.t1 ? 3 : (group2 ? 2 : 1);
  if (groups >= 2) {
    g[0].td = true;
    g[0].tdProtocol = onlyT1 ? 1 : 0;
  }
  if (groups == 3) {
    g[1].td = true;
    g[1].tdProtocol = 1;
  }

  Bytes atr;
  atr.push_back(s.inverse ? 0x3F : 0x3B);
  std::size_t k = s.historical.size() > 15 ? 15 : s.historical.size();
  for (int i = 0; i < groups; ++i) {
    std::uint8_t y = (g[i].ta ? 0x10 : 0) | (g[i].tb ? 0x20 : 0) | (g[i].tc ? 0x40 : 0) |
                     (g[i].td ? 0x80 : 0);
    if (i == 0) atr.push_back(static_cast<std::uint8_t>(y | k));
    if (g[i].ta) atr.push_back(*g[i].ta);
    if (g[i].tb) atr.push_back(*g[i].tb);
    if (g[i].tc) atr.push_back(*g[i].tc);
    if (g[i].td) {
      const Group& next = g[i + 1];
      std::uint8_t ny = (next.ta ? 0x10 : 0) | (next.tb ? 0x20 : 0) | (next.tc ? 0x40 : 0) |
                        (next.td ? 0x80 : 0);
      atr.push_back(static_cast<std::uint8_t>(ny | g[i].tdProtocol));
    }
  }
  atr.insert(atr.end(), s.historical.begin(), s.historical.begin() + static_cast<long>(k));
  if (s.t1) {
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
  }
  return atr;
}

AtrInfo ParseAtr(const Bytes& atr) {
  AtrInfo info;
  if (atr.size() < 2) return info;
  if (atr[0] != 0x3B && atr[0] != 0x3F) return info;
  info.inverse = atr[0] == 0x3F;
  std::size_t pos = 1;
  std::uint8_t y = atr[pos] >> 4;
  std::size_t k = atr[pos] & 0x0F;
  ++pos;
  bool tckDue = false;
  bool t1Seen = false;
  int group = 1;
  int protocolOfGroup = 0;  // protocol that announced the group's bytes
  for (;;) {
    std::optional<std::uint8_t> ta, tb, tc, td;
    auto take = [&](std::optional<std::uint8_t>& v) {
      if (pos >= atr.size()) return false;
      v = atr[pos++];
      return true;
    };
    if ((y & 1) && !take(ta)) return info;
    if ((y & 2) && !take(tb)) return info;
    if ((y & 4) && !take(tc)) return info;
    if ((y & 8) && !take(td)) return info;
    if (group == 1) {
      if (ta) {
        info.hasTa1 = true;
        info.fi = *ta >> 4;
        info.di = *ta & 0x0F;
      }
      if (tc) info.guardN = *tc;
    } else if (group == 2) {
      if (ta) {
        info.fixedMode = true;
        info.fixedProtocol = *ta & 0x0F;
        info.fixedImplicit = (*ta & 0x10) != 0;
      }
      if (tc) info.wi = *tc;
    } else if (protocolOfGroup == 1 && !t1Seen) {
      t1Seen = true;
      if (ta) info.ifsc = *ta;
      if (tb) {
        info.bwi = *tb >> 4;
        info.cwi = *tb & 0x0F;
      }
      if (tc) info.crc = (*tc & 1) != 0;
    }
    if (!td) break;
    int t = *td & 0x0F;
    if (t != 0) tckDue = true;
    if (t <= 1) {
      if (!(info.protocols & (1u << t)) && info.protocols == 0) info.firstProtocol = t;
      info.protocols |= 1u << t;
    }
    protocolOfGroup = t;
    y = *td >> 4;
    ++group;
  }
  if (info.protocols == 0) {
    info.protocols = 1;
    info.firstProtocol = 0;
  }
  if (pos + k > atr.size()) return info;
  pos += k;
  if (tckDue) {
    if (pos >= atr.size()) return info;
    std::uint8_t x = 0;
    for (std::size_t i = 1; i <= pos; ++i) x ^= atr[i];
    if (x != 0) return info;
    ++pos;
  }
  info.length = pos;
  info.valid = true;
  return info;
}

}  // namespace sim
