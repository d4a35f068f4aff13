// Fuzz target for the proprietary UDP datagram path: the input is a series of datagrams, each
// led by a 16-bit little-endian length, fed through the source's checks, sequencing, video and
// audio handling and recording.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/sources/av_source_udp.h"

namespace {

struct Harness {
  std::string dir;
  kv::CNetClient client;
  kv::CBufferConduit video, audio;
  std::unique_ptr<kv::CAVSource_UDP> source;

  Harness() {
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    std::strcpy(p.address, "127.0.0.1:0");
    client.InitLive(p);
    client.m_self = &client;
    client.m_audioOn = 1;
    video.Create(4194304, false, 8192, true);
    audio.Create(131072, false, 8192, false);
    client.m_videoConduit = &video;
    client.m_audioConduit = &audio;
    source = std::make_unique<kv::CAVSource_UDP>();
    source->Attach(&client, &video, &audio);
    source->Open();
    dir = "/tmp/kvnet-fuzz-" + std::to_string(getpid());
    std::snprintf(client.m_recordPath, sizeof client.m_recordPath, "%s/rec.kv", dir.c_str());
    source->StartRecord();
  }
};

Harness& TheHarness() {
  static Harness* h = new Harness();  // lives for the whole fuzzing process
  return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = TheHarness();
  size_t at = 0;
  while (at + 2 <= size) {
    const size_t length = data[at] | (size_t{data[at + 1]} << 8);
    at += 2;
    const size_t n = length < size - at ? length : size - at;
    h.source->FeedDatagram(data + at, n);
    at += n;
  }
  h.video.Clear();
  h.audio.Clear();
  return 0;
}

// After the inputs of a plain run: the recording is closed and its folder removed.
extern "C" void KvnetFuzzFinish() {
  TheHarness().source->StopRecord();
  std::filesystem::remove_all(TheHarness().dir);
}
