// Damaged and random datagrams fed straight into the UDP source's handling never crash it and
// never break the recording that runs meanwhile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/sources/av_source_udp.h"
#include "tests/support/udp_test_sender.h"
#include "tests/support/xvfb.h"

namespace {

TEST(UdpMalformed, MutatedStreamsKeepTheRecordingWellFormed) {
  kv::test::ScopedEnv audio("KVNET_AUDIO_OUT", "null");
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kvnet-udp-mal-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  kv::CNetClient client;
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = TRANSPORT_UDP;
  std::strcpy(p.address, "127.0.0.1:0");
  ASSERT_TRUE(client.InitLive(p));
  client.m_self = &client;
  client.m_audioOn = 1;
  kv::CBufferConduit video, audioConduit;
  ASSERT_TRUE(video.Create(4194304, false, 8192, true));
  ASSERT_TRUE(audioConduit.Create(131072, false, 8192, false));
  client.m_videoConduit = &video;
  client.m_audioConduit = &audioConduit;
  {
    kv::CAVSource_UDP source;
    source.Attach(&client, &video, &audioConduit);
    ASSERT_EQ(source.Open(), 1);
    const std::string path = (dir / "m.kv").string();
    std::snprintf(client.m_recordPath, sizeof client.m_recordPath, "%s", path.c_str());
    ASSERT_EQ(source.StartRecord(), 1);

    kv::test::StreamDescription d;
    d.videoCodec = 26;  // MJPEG: the decoder takes any bytes and refuses them quietly
    kv::test::UdpStreamBuilder b(d);
    std::mt19937 rng(99);
    for (int i = 0; i < 40; ++i) {
      std::vector<uint8_t> unit(50 + rng() % 3000);
      for (auto& x : unit) x = static_cast<uint8_t>(rng());
      // Key pictures begin as JPEG pictures do, so the source can tell where they start.
      if (i % 10 == 0) {
        unit[0] = 0xFF;
        unit[1] = 0xD8;
      }
      b.AddVideoUnit(unit, i % 10 == 0);
      b.AddAudio(std::vector<uint8_t>(160, static_cast<uint8_t>(rng())));
    }
    size_t fed = 0;
    for (int round = 0; round < 20; ++round) {
      for (auto dg : b.datagrams()) {
        switch (rng() % 6) {
          case 0:  // flip a header byte
            dg.bytes[rng() % 68] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
          case 1:  // cut it short
            dg.bytes.resize(rng() % dg.bytes.size());
            break;
          case 2:  // random length field
            for (int k = 24; k < 28; ++k) dg.bytes[k] = static_cast<uint8_t>(rng());
            break;
          default:
            break;
        }
        source.FeedDatagram(dg.bytes.data(), dg.bytes.size());
        ++fed;
      }
      std::vector<uint8_t> garbage(rng() % 4097);
      for (auto& x : garbage) x = static_cast<uint8_t>(rng());
      source.FeedDatagram(garbage.data(), garbage.size());
      video.Clear();
      audioConduit.Clear();
    }
    EXPECT_GT(fed, 1000u);
    ASSERT_EQ(source.StopRecord(), 1);
    source.Close();

    // The file is header, whole units and the trailer, whatever arrived.
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GE(f.size(), 39u + 22u);
    ASSERT_EQ(std::memcmp(f.data() + f.size() - 8, "ENDINDEX", 8), 0);
    const uint32_t n = f[f.size() - 12] | f[f.size() - 11] << 8 | f[f.size() - 10] << 16 |
                       uint32_t(f[f.size() - 9]) << 24;
    const size_t end = f.size() - 12 - 16 * size_t{n} - 10;
    ASSERT_EQ(std::memcmp(f.data() + end, "BEGININDEX", 10), 0);
    size_t pos = 39;
    while (pos + 12 <= end) {
      const uint32_t word =
          f[pos] | f[pos + 1] << 8 | f[pos + 2] << 16 | uint32_t(f[pos + 3]) << 24;
      EXPECT_EQ(word & 0xFC0, 0u);
      pos += 12 + (word >> 12);
    }
    EXPECT_EQ(pos, end);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
