// What the simulated device remembers between MCTP/1.0 requests.
#include "tools/kvdevice/mctp_state.h"

namespace kvdevice {

DeviceState::DeviceState(int width, int height) {
  for (int i = 0; i < kMotionRegions; ++i) {
    const int column = i % 4, row = i / 4;
    MdRegion& g = defaultRegions_[static_cast<size_t>(i)];
    g.left = width * column / 4;
    g.top = height * row / 4;
    g.right = width * (column + 1) / 4;
    g.bottom = height * (row + 1) / 4;
  }
}

DeviceState::Channel& DeviceState::channel(int number) {
  auto [it, added] = channels_.try_emplace(number);
  if (added) it->second.regions = defaultRegions_;
  return it->second;
}

MdRegions DeviceState::motionRegions(int number) {
  std::lock_guard<std::mutex> hold(lock_);
  return channel(number).regions;
}

void DeviceState::saveMotionRegions(int number, const MdRegions& regions) {
  std::lock_guard<std::mutex> hold(lock_);
  channel(number).regions = regions;
}

bool DeviceState::motionDetection(int number) {
  std::lock_guard<std::mutex> hold(lock_);
  return channel(number).detecting;
}

void DeviceState::setMotionDetection(int number, bool on) {
  std::lock_guard<std::mutex> hold(lock_);
  channel(number).detecting = on;
}

std::array<int, 3> DeviceState::videoParams(int number) {
  std::lock_guard<std::mutex> hold(lock_);
  return channel(number).videoParams;
}

void DeviceState::setVideoParams(int number, const std::array<int, 3>& values) {
  std::lock_guard<std::mutex> hold(lock_);
  channel(number).videoParams = values;
}

void SessionRegistry::add(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  ++open_[id];
}

void SessionRegistry::remove(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = open_.find(id);
  if (it != open_.end() && --it->second <= 0) open_.erase(it);
}

bool SessionRegistry::contains(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  return open_.count(id) > 0;
}

}  // namespace kvdevice
