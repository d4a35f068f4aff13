// Optional record of what the simulated camera sent: the coded video and audio elementary
// streams and a log line per picture, so that tests can compare with what they received.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "tools/kvdevice/media_source.h"
#include "tools/kvdevice/proprietary_sender.h"

namespace kvdevice {

class StreamDump {
 public:
  // Opens PREFIX.video, PREFIX.audio and PREFIX.log; false when one cannot be created.
  bool open(const std::string& prefix);
  // Log line: "picture <number> key <0|1> stream <id> seq <first>-<last> bytes <size>".
  void write(const MediaFrame& frame, const FrameSequence& sequence);

 private:
  std::ofstream video_;
  std::ofstream audio_;
  std::ofstream log_;
};

}  // namespace kvdevice
