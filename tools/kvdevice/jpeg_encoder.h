// The RTSP stream's MJPEG encoder: libjpeg with the standard Huffman tables (RFC 2435 receivers
// rebuild them), 4:2:0 or 4:2:2 sampling and an optional restart interval.
#pragma once

#include <memory>
#include <string>

#include "tools/kvdevice/options.h"
#include "tools/kvdevice/video_encoder.h"

namespace kvdevice {

std::unique_ptr<VideoEncoder> CreateJpegEncoder(const Options& options, std::string& error);

}  // namespace kvdevice
