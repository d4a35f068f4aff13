// Record paths at the length limit: 255 characters fit the client's field and record; 256 do
// not and change nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/sources/av_source.h"
#include "tests/support/fake_parts.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// A path of exactly `length` characters inside dir, in folders of at most 60 characters.
std::string PathOfLength(const fs::path& dir, size_t length) {
  std::string path = dir.string();
  while (path.size() + 61 < length) path += "/" + std::string(60, 'd');
  path += "/";
  path += std::string(length - path.size(), 'f');
  return path;
}

TEST(RecordPath, TwoHundredFiftyFiveCharactersAreAcceptedAndLongerRefused) {
  const fs::path dir = kv::test::MakeUniqueTempDir("kvnet-path-");
  {
    kv::test::ScopedFakeParts parts;
    KVNET_Startup(0, 0, nullptr, 0);
    KVNET_CLIENT_PARAM p;
    std::memset(&p, 0, sizeof p);
    p.transport = TRANSPORT_UDP;
    std::strcpy(p.address, "127.0.0.1:6000");
    KVNET_HANDLE h = KVNET_ClientStart(&p);
    ASSERT_NE(h, nullptr);
    kv::CNetClient* client = kv::CNetClient::FromHandle(h);

    const std::string longest = PathOfLength(dir, 255);
    ASSERT_EQ(longest.size(), 255u);
    EXPECT_EQ(KVNET_ClientStartRecord(h, longest.c_str(), 0), 1);
    EXPECT_EQ(client->m_recordPath, longest);
    EXPECT_TRUE(fs::exists(longest));
    EXPECT_EQ(KVNET_ClientStopRecord(h), 1);
    EXPECT_EQ(KVNET_ClientStartAlarmRecord(h, longest.c_str(), 5), 1);
    EXPECT_EQ(client->m_alarmRecordPath, longest);
    EXPECT_EQ(KVNET_ClientStopAlarmRecord(h), 1);

    const std::string tooLong = PathOfLength(dir, 256);
    ASSERT_EQ(tooLong.size(), 256u);
    EXPECT_EQ(KVNET_ClientStartRecord(h, tooLong.c_str(), 0), 0);
    EXPECT_EQ(KVNET_ClientStartAlarmRecord(h, tooLong.c_str(), 5), 0);
    EXPECT_EQ(client->m_source->IsRecording(), 0);
    EXPECT_EQ(client->m_recordPath, longest);  // unchanged by the refusal
    EXPECT_EQ(KVNET_ClientStop(h), 1);
  }
  fs::remove_all(dir);
}

}  // namespace
