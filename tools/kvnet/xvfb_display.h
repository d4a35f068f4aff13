// A private virtual X display for the demo when the machine has none: Xvfb on a display number
// it picks itself, stopped with this object.
#pragma once

#include <memory>
#include <string>

#include "kvnet/child_process.h"

namespace kvnet {

class XvfbDisplay {
 public:
  // Starts Xvfb (1024x768x24, no TCP) and waits until it accepts connections. Null with *error
  // when Xvfb is not installed or does not come up within a few seconds.
  static std::unique_ptr<XvfbDisplay> Start(std::string* error);
  ~XvfbDisplay();

  // ":N".
  const std::string& Name() const { return name_; }

 private:
  XvfbDisplay(std::unique_ptr<ChildProcess> server, std::string name)
      : server_(std::move(server)), name_(std::move(name)) {}

  std::unique_ptr<ChildProcess> server_;
  std::string name_;
};

// True when an X display of that name (null: $DISPLAY) accepts a connection.
bool DisplayReachable(const char* name);

}  // namespace kvnet
