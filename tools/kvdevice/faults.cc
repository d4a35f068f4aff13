// Seeded fault injection on the outgoing datagrams.
#include "tools/kvdevice/faults.h"

#include <utility>

namespace kvdevice {

FaultInjector::FaultInjector(const FaultOptions& options)
    : options_(options), random_(options.seed) {}

// Draws straight from the engine (not std::uniform_*_distribution, whose results may differ
// between library versions) so that a seed means the same faults everywhere.
bool FaultInjector::chance(double percent) {
  if (percent <= 0) return false;
  return static_cast<double>(random_()) / 4294967296.0 * 100.0 < percent;
}

uint32_t FaultInjector::below(uint32_t bound) {
  return bound == 0 ? 0 : static_cast<uint32_t>(random_() % bound);
}

void FaultInjector::push(Datagram d, std::vector<Datagram>& out) {
  if (chance(options_.dropPercent)) {
    ++counts_.dropped;
    return;
  }
  if (d.size() > 1 && chance(options_.truncatePercent)) {
    // Cut anywhere, header included; the length field keeps the old value.
    d.resize(1 + below(static_cast<uint32_t>(d.size() - 1)));
    ++counts_.truncated;
  } else if (d.size() >= kHeaderSize && chance(options_.badLengthPercent)) {
    uint32_t length = static_cast<uint32_t>(d.size() - kHeaderSize) + 1 + below(1000);
    d[24] = static_cast<uint8_t>(length >> 24);
    d[25] = static_cast<uint8_t>(length >> 16);
    d[26] = static_cast<uint8_t>(length >> 8);
    d[27] = static_cast<uint8_t>(length);
    ++counts_.badLength;
  }
  if (chance(options_.duplicatePercent)) {
    ++counts_.duplicated;
    release(d, out);
  }
  release(std::move(d), out);
  if (chance(options_.garbagePercent)) {
    Datagram junk(1 + below(1500));
    for (auto& b : junk) b = static_cast<uint8_t>(random_());
    ++counts_.garbage;
    release(std::move(junk), out);
  }
}

void FaultInjector::release(Datagram d, std::vector<Datagram>& out) {
  if (options_.reorderWindow <= 1) {
    out.push_back(std::move(d));
    return;
  }
  if (options_.reorderPercent < 100) {
    if (chance(options_.reorderPercent)) {
      held_.push_back(
          Held{std::move(d), 1 + below(static_cast<uint32_t>(options_.reorderWindow - 1))});
      return;
    }
    out.push_back(std::move(d));
    for (auto it = held_.begin(); it != held_.end();) {
      if (--it->remaining == 0) {
        out.push_back(std::move(it->datagram));
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
    return;
  }
  window_.push_back(std::move(d));
  if (window_.size() >= static_cast<size_t>(options_.reorderWindow)) {
    size_t pick = below(static_cast<uint32_t>(window_.size()));
    out.push_back(std::move(window_[pick]));
    window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(pick));
  }
}

void FaultInjector::flush(std::vector<Datagram>& out) {
  for (Held& h : held_) out.push_back(std::move(h.datagram));
  held_.clear();
  while (!window_.empty()) {
    size_t pick = below(static_cast<uint32_t>(window_.size()));
    out.push_back(std::move(window_[pick]));
    window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(pick));
  }
}

}  // namespace kvdevice
