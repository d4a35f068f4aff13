// The RTSP server's part of the kvdevice command line.
#pragma once

#include <optional>
#include <string>

#include "tools/kvdevice/options.h"

namespace kvdevice {

// Whether the option takes a value; nothing when it is not an RTSP server option.
std::optional<bool> RtspOptionTakesValue(const std::string& name);
// Applies one RTSP server option; false when the value is bad.
bool ApplyRtspOption(const std::string& name, const std::string& value, RtspOptions& rtsp);
// Checks the RTSP options against the rest; an error text or empty.
std::string CheckRtspOptions(const Options& options);
std::string RtspUsageText();

}  // namespace kvdevice
