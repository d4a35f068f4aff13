// What the simulated device remembers between MCTP/1.0 requests: per channel its motion
// detection regions and switch and its video parameters; and the RTSP sessions now open, which
// the event channel's log-in must name.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>

#include "tools/kvdevice/mctp_message.h"

namespace kvdevice {

class DeviceState {
 public:
  // Regions start as a 4 x 4 grid over the picture; video parameters at 128.
  DeviceState(int width, int height);

  MdRegions motionRegions(int channel);
  void saveMotionRegions(int channel, const MdRegions& regions);
  bool motionDetection(int channel);
  void setMotionDetection(int channel, bool on);
  std::array<int, 3> videoParams(int channel);
  void setVideoParams(int channel, const std::array<int, 3>& values);

 private:
  struct Channel {
    MdRegions regions{};
    bool detecting = false;
    std::array<int, 3> videoParams{128, 128, 128};
  };
  Channel& channel(int number);  // with lock_ held

  std::mutex lock_;
  MdRegions defaultRegions_{};
  std::map<int, Channel> channels_;
};

// The RTSP session ids in use; an id may be in use more than once (--session-id).
class SessionRegistry {
 public:
  void add(const std::string& id);
  void remove(const std::string& id);
  bool contains(const std::string& id);

 private:
  std::mutex lock_;
  std::map<std::string, int> open_;
};

}  // namespace kvdevice
