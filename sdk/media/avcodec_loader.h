// Run-time loading of libavcodec (when present) and the table of its entry points we use.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kv::platform {
class FlaggedCriticalSection;
}

namespace kv {

// Entry points resolved by name from the loaded library (av_frame_* come from libavutil,
// which the loaded libavcodec pulls in).
struct AvcodecApi {
  const AVCodec* (*avcodec_find_decoder)(enum AVCodecID id);
  AVCodecContext* (*avcodec_alloc_context3)(const AVCodec* codec);
  int (*avcodec_open2)(AVCodecContext* context, const AVCodec* codec, AVDictionary** options);
  int (*avcodec_send_packet)(AVCodecContext* context, const AVPacket* packet);
  int (*avcodec_receive_frame)(AVCodecContext* context, AVFrame* frame);
  void (*avcodec_flush_buffers)(AVCodecContext* context);
  void (*avcodec_free_context)(AVCodecContext** context);
  AVFrame* (*av_frame_alloc)();
  void (*av_frame_free)(AVFrame** frame);
  void (*av_frame_unref)(AVFrame* frame);
  AVPacket* (*av_packet_alloc)();
  void (*av_packet_free)(AVPacket** packet);
};

// The file name of the libavcodec whose major version the build's headers name.
std::string AvcodecLibraryName();

// Loads the library once (later calls return at once while it stays loaded) under the given
// process-wide loader lock (skipped when null or not initialised). False when the library
// or one of the entry points is missing, or when the environment sets KVNET_AVCODEC=off.
// When libavcodec was not in the process before, its logging is made quiet, or sent to the
// debug output when KVNET_DEBUG is set; a host that brought its own keeps its settings.
bool AvcodecLoad(platform::FlaggedCriticalSection* loaderLock);

// Unloads the library; decoders made from it must be gone by then.
void AvcodecUnload();

bool AvcodecAvailable();

// The resolved entry points while loaded, null otherwise.
const AvcodecApi* AvcodecEntryPoints();

}  // namespace kv
