// Seeded fault injection on the outgoing datagrams: reordering, duplicates, drops, truncation,
// garbage datagrams and wrong length fields. The same seed and input give the same output.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "tools/kvdevice/options.h"
#include "tools/kvdevice/proprietary_packetiser.h"

namespace kvdevice {

struct FaultCounts {
  uint64_t dropped = 0;
  uint64_t duplicated = 0;
  uint64_t truncated = 0;
  uint64_t garbage = 0;
  uint64_t badLength = 0;
};

class FaultInjector {
 public:
  explicit FaultInjector(const FaultOptions& options);

  // Takes one datagram in stream order; appends what should go on the wire now.
  void push(Datagram datagram, std::vector<Datagram>& out);
  // Releases whatever the reordering window still holds.
  void flush(std::vector<Datagram>& out);
  const FaultCounts& counts() const { return counts_; }

 private:
  bool chance(double percent);
  uint32_t below(uint32_t bound);
  void release(Datagram datagram, std::vector<Datagram>& out);

  FaultOptions options_;
  std::mt19937 random_;
  std::deque<Datagram> window_;
  struct Held {
    Datagram datagram;
    uint32_t remaining;  // later datagrams to let pass first
  };
  std::vector<Held> held_;
  FaultCounts counts_;
};

}  // namespace kvdevice
