// The MCTP/1.0 part of the kvdevice command line: command replies, the event channel and talk.
#pragma once

#include <optional>
#include <string>

#include "tools/kvdevice/options.h"

namespace kvdevice {

// Whether the option takes a value; nothing when it is not an MCTP option.
std::optional<bool> MctpOptionTakesValue(const std::string& name);
// Applies one MCTP option; false when the value is bad.
bool ApplyMctpOption(const std::string& name, const std::string& value, MctpOptions& mctp);
// Checks the MCTP options against the rest; an error text or empty.
std::string CheckMctpOptions(const Options& options);
std::string MctpUsageText();

// The request kinds --mctp-reply names, and its modes by name.
bool KnownRequestKind(const std::string& kind);
std::optional<ReplyMode> ReplyModeNamed(const std::string& name);
const char* ReplyModeName(ReplyMode mode);

// The talk codec the device speaks: the one given, else by its generation (the "V200R001"
// banner marks the newer one, which talks G.711 mu-law; the older talks G.726 at 32 kbit/s).
AudioCodec TalkCodecOf(const Options& options);

}  // namespace kvdevice
