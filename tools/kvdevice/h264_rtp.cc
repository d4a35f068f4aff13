// H.264 into RTP payloads (RFC 6184).
#include "tools/kvdevice/h264_rtp.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>

#include "tools/kvdevice/proprietary_packetiser.h"

namespace kvdevice {
namespace {

constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

std::string Base64(const uint8_t* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

void FragmentUnit(const ByteRange& unit, size_t maxPayload, std::vector<RtpPayload>& out) {
  const uint8_t header = unit.data[0];
  const uint8_t indicator = static_cast<uint8_t>((header & 0xE0) | kFuA);
  const size_t room = std::max<size_t>(maxPayload, 3) - 2;
  for (size_t offset = 1; offset < unit.size;) {
    const size_t piece = std::min(room, unit.size - offset);
    RtpPayload p;
    p.bytes.reserve(piece + 2);
    uint8_t fu = header & 0x1F;
    if (offset == 1) fu |= 0x80;
    if (offset + piece == unit.size) fu |= 0x40;
    p.bytes.push_back(indicator);
    p.bytes.push_back(fu);
    p.bytes.insert(p.bytes.end(), unit.data + offset, unit.data + offset + piece);
    out.push_back(std::move(p));
    offset += piece;
  }
}

}  // namespace

std::vector<RtpPayload> PacketiseH264(const uint8_t* data, size_t size,
                                      const H264RtpSettings& settings) {
  std::vector<RtpPayload> out;
  std::vector<ByteRange> units = SplitAnnexB(data, size);
  const size_t max = settings.maxPayload;
  for (size_t i = 0; i < units.size();) {
    const ByteRange& unit = units[i];
    // As many following units as fit into one aggregate with their 2-byte sizes.
    size_t group = 1, bytes = 1 + 2 + unit.size;
    if (settings.aggregate) {
      while (i + group < units.size() && bytes + 2 + units[i + group].size <= max) {
        bytes += 2 + units[i + group].size;
        ++group;
      }
    }
    if (group > 1) {
      RtpPayload p;
      uint8_t nri = 0, forbidden = 0;
      for (size_t k = i; k < i + group; ++k) {
        nri = std::max<uint8_t>(nri, units[k].data[0] & 0x60);
        forbidden |= units[k].data[0] & 0x80;
      }
      p.bytes.push_back(static_cast<uint8_t>(forbidden | nri | kStapA));
      for (size_t k = i; k < i + group; ++k) {
        p.bytes.push_back(static_cast<uint8_t>(units[k].size >> 8));
        p.bytes.push_back(static_cast<uint8_t>(units[k].size));
        p.bytes.insert(p.bytes.end(), units[k].data, units[k].data + units[k].size);
      }
      out.push_back(std::move(p));
    } else if (unit.size <= max) {
      out.push_back(RtpPayload{std::vector<uint8_t>(unit.data, unit.data + unit.size), false});
    } else {
      FragmentUnit(unit, max, out);
    }
    i += group;
  }
  if (!out.empty()) out.back().marker = true;
  return out;
}

H264Description DescribeH264(const uint8_t* data, size_t size) {
  H264Description d;
  std::string sps, pps;
  for (const ByteRange& unit : SplitAnnexB(data, size)) {
    const int type = unit.data[0] & 0x1F;
    if (type == 7 && sps.empty() && unit.size >= 4) {
      sps = Base64(unit.data, unit.size);
      char id[7];
      std::snprintf(id, sizeof id, "%02X%02X%02X", unit.data[1], unit.data[2], unit.data[3]);
      d.profileLevelId = id;
    } else if (type == 8 && pps.empty()) {
      pps = Base64(unit.data, unit.size);
    }
  }
  if (!sps.empty() && !pps.empty()) d.parameterSets = sps + "," + pps;
  return d;
}

}  // namespace kvdevice
