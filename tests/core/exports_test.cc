// The exported interface: the symbol set of the shared library, null-handle results and the
// flag-setting exports.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/conduit.h"
#include "tests/support/fake_parts.h"

namespace {

// Defined, global or weak, dynamic symbols of an ELF64 shared object.
std::set<std::string> DynamicSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  std::set<std::string> names;
  if (bytes.size() < sizeof(Elf64_Ehdr)) return names;
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(bytes.data());
  const auto* sh = reinterpret_cast<const Elf64_Shdr*>(bytes.data() + eh->e_shoff);
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr& strtab = sh[sh[i].sh_link];
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(bytes.data() + sh[i].sh_offset);
    const size_t count = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t k = 0; k < count; ++k) {
      const Elf64_Sym& s = syms[k];
      const int bind = ELF64_ST_BIND(s.st_info);
      if (s.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
      names.insert(bytes.data() + strtab.sh_offset + s.st_name);
    }
  }
  return names;
}

TEST(SharedLibrary, ExportsExactlyTheInterface) {
  const std::set<std::string> expected = {"KVNET_Startup",
                                          "KVNET_Cleanup",
                                          "KVNET_SetWaitTime",
                                          "KVNET_Log",
                                          "KVNET_ClientStart",
                                          "KVNET_ClientStop",
                                          "KVNET_ClientStartView",
                                          "KVNET_ClientStopView",
                                          "KVNET_ClientSetWnd",
                                          "KVNET_ClientRefreshWnd",
                                          "KVNET_ClientShowcallback",
                                          "KVNET_GetClientState",
                                          "KVNET_GetBitStreamInfo",
                                          "KVNET_ClientSetVideoParam",
                                          "KVNET_ClientGetVideoParam",
                                          "KVNET_ClientVerticalFlip",
                                          "KVNET_ClientRotate180",
                                          "KVNET_ClientPlayAudio",
                                          "KVNET_ClientStopAudio",
                                          "KVNET_ClientCapturePicture",
                                          "KVNET_ClientStartRecord",
                                          "KVNET_ClientStopRecord",
                                          "KVNET_ClientStartAlarmRecord",
                                          "KVNET_ClientStopAlarmRecord",
                                          "KVNET_ClientPTZCtrl",
                                          "KVNET_ClientGetMDInfo",
                                          "KVNET_ClientSaveMDInfo",
                                          "KVNET_ClientStartMD",
                                          "KVNET_ClientStopMD",
                                          "KVNET_ClientStopAlarm",
                                          "KVNET_ClientShowMDRegion",
                                          "KVNET_ClientStartTalk",
                                          "KVNET_ClientStopTalk",
                                          "KVNET_OpenFile",
                                          "KVNET_CloseFile",
                                          "KVNET_ReplayPause",
                                          "KVNET_ReplayContinue",
                                          "KVNET_ReplayStepByStep",
                                          "KVNET_SpeedFast",
                                          "KVNET_SpeedNormal",
                                          "KVNET_SpeedSlow",
                                          "KVNET_ReplayTotalTime",
                                          "KVNET_ReplayCurTime",
                                          "KVNET_ReplaySeek",
                                          "KVNET_GetClientParam",
                                          "KVNET_SetAVCallback",
                                          "KVNET_SetDrawCallback",
                                          "KVNET_SetVertBlank"};
  ASSERT_EQ(expected.size(), 48u);
  EXPECT_EQ(DynamicSymbols(KVNET_SHARED_LIBRARY), expected);
}

TEST(NullHandle, EveryPerClientExportFailsWithoutSideEffects) {
  int rate = 11, fps = 12;
  uint8_t p1 = 1, p2 = 2, p3 = 3;
  KVNET_MD_INFO md{};
  KVNET_VIDEO_INFO info{};
  info.width = 99;
  EXPECT_EQ(KVNET_ClientStop(nullptr), 0);
  EXPECT_EQ(KVNET_CloseFile(nullptr), 0);
  EXPECT_EQ(KVNET_ClientStartView(nullptr), 0);
  EXPECT_EQ(KVNET_ClientStopView(nullptr), 0);
  EXPECT_EQ(KVNET_ClientSetWnd(nullptr, 5), 1);
  EXPECT_EQ(KVNET_ClientRefreshWnd(nullptr), 0);
  EXPECT_EQ(KVNET_GetClientState(nullptr), 0xFFFF);
  EXPECT_EQ(KVNET_GetBitStreamInfo(nullptr, &rate, &fps), 0);
  EXPECT_EQ(rate, 11);
  EXPECT_EQ(fps, 12);
  EXPECT_EQ(KVNET_ClientSetVideoParam(nullptr, 1, 2, 3, 0), 0);
  EXPECT_EQ(KVNET_ClientGetVideoParam(nullptr, &p1, &p2, &p3), 0);
  EXPECT_EQ(p1 + p2 + p3, 6);
  EXPECT_EQ(KVNET_ClientVerticalFlip(nullptr, 1), nullptr);
  EXPECT_EQ(KVNET_ClientRotate180(nullptr, 1), nullptr);
  EXPECT_EQ(KVNET_ClientPlayAudio(nullptr), 0);
  EXPECT_EQ(KVNET_ClientStopAudio(nullptr), 0);
  EXPECT_EQ(KVNET_ClientCapturePicture(nullptr, "/tmp/x.jpg"), 0);
  EXPECT_EQ(KVNET_ClientStartRecord(nullptr, "/tmp/x.rec", 10), 0);
  EXPECT_EQ(KVNET_ClientStopRecord(nullptr), 0);
  EXPECT_EQ(KVNET_ClientStartAlarmRecord(nullptr, "/tmp/x.rec", 10), 0);
  EXPECT_EQ(KVNET_ClientStopAlarmRecord(nullptr), 0);
  EXPECT_EQ(KVNET_ClientPTZCtrl(nullptr, 1, 1), 0);
  EXPECT_EQ(KVNET_ClientGetMDInfo(nullptr, &md), 0);
  EXPECT_EQ(KVNET_ClientSaveMDInfo(nullptr, &md), 0);
  EXPECT_EQ(KVNET_ClientStartMD(nullptr), 0);
  EXPECT_EQ(KVNET_ClientStopMD(nullptr), 0);
  EXPECT_EQ(KVNET_ClientStopAlarm(nullptr, 1), 0);
  EXPECT_EQ(KVNET_ClientShowMDRegion(nullptr, 1), 0);
  EXPECT_EQ(KVNET_ClientStartTalk(nullptr), 0);
  KVNET_ClientStopTalk(nullptr);
  EXPECT_EQ(KVNET_ReplayPause(nullptr), 0);
  EXPECT_EQ(KVNET_ReplayContinue(nullptr), 0);
  EXPECT_EQ(KVNET_ReplayStepByStep(nullptr), 0);
  EXPECT_EQ(KVNET_SpeedFast(nullptr), 0);
  EXPECT_EQ(KVNET_SpeedNormal(nullptr), 0);
  EXPECT_EQ(KVNET_SpeedSlow(nullptr), 0);
  EXPECT_EQ(KVNET_ReplayTotalTime(nullptr), 0u);
  EXPECT_EQ(KVNET_ReplayCurTime(nullptr), 0u);
  EXPECT_EQ(KVNET_ReplaySeek(nullptr, 5), 0);
  EXPECT_EQ(KVNET_GetClientParam(nullptr, &info), 0);
  EXPECT_EQ(info.width, 99);
  EXPECT_EQ(KVNET_SetVertBlank(nullptr, 3), nullptr);
}

class RunningClient : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&param_, 0, sizeof param_);
    param_.transport = TRANSPORT_UDP;
    std::strcpy(param_.address, "127.0.0.1:9000");
    handle_ = KVNET_ClientStart(&param_);
    ASSERT_NE(handle_, nullptr);
    client_ = kv::CNetClient::FromHandle(handle_);
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(KVNET_ClientStop(handle_), 1);
    }
  }
  kv::test::ScopedFakeParts parts_;
  KVNET_CLIENT_PARAM param_;
  KVNET_HANDLE handle_ = nullptr;
  kv::CNetClient* client_ = nullptr;
};

TEST_F(RunningClient, DisplayFlags) {
  EXPECT_EQ(KVNET_ClientStartView(handle_), 1);
  EXPECT_EQ(client_->m_viewState.view.load(), 1);
  EXPECT_EQ(KVNET_ClientRefreshWnd(handle_), 0);  // no display worker to redraw
  EXPECT_EQ(KVNET_ClientStopView(handle_), 1);
  EXPECT_EQ(client_->m_viewState.view.load(), 0);
  EXPECT_EQ(KVNET_ClientRefreshWnd(handle_), 0);
  EXPECT_EQ(KVNET_ClientVerticalFlip(handle_, 1), handle_);
  EXPECT_EQ(client_->m_viewState.flip.load(), 1);
  EXPECT_EQ(KVNET_ClientRotate180(handle_, 1), handle_);
  EXPECT_EQ(client_->m_viewState.rotate.load(), 1);
  EXPECT_EQ(KVNET_SetVertBlank(handle_, 4), handle_);
  EXPECT_EQ(client_->m_viewState.vertBlankDivisor.load(), 4);
  EXPECT_EQ(client_->m_viewState.mdShowMode.load(), 2);
  EXPECT_EQ(KVNET_ClientShowMDRegion(handle_, 5), 1);
  EXPECT_EQ(client_->m_viewState.mdShowMode.load(), 5);
  EXPECT_EQ(KVNET_ClientSetWnd(handle_, 77), 1);
  EXPECT_EQ(client_->m_viewState.videoWindow.load(), 77u);
}

TEST_F(RunningClient, StopViewWaitsForTheDrawingFlag) {
  client_->m_viewState.drawing = 1;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    KVNET_ClientStopView(handle_);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(returned.load());
  // What the decode worker does when a picture is drawn: the flag down, then the signal.
  client_->m_viewState.drawing = 0;
  client_->m_viewState.drawingEnded.Notify();
  caller.join();
  EXPECT_TRUE(returned.load());
}

TEST_F(RunningClient, AudioSwitchClearsQueuedSound) {
  EXPECT_EQ(KVNET_ClientPlayAudio(handle_), 1);
  EXPECT_EQ(client_->m_sound.on.load(), 1);
  const std::vector<uint8_t> pcm(1600, 0x11);
  ASSERT_TRUE(client_->m_audioConduit->Write(pcm.data(), 1600, 0, 0, 0));
  EXPECT_EQ(client_->m_audioConduit->GetDataSize(), 1600);
  EXPECT_EQ(KVNET_ClientStopAudio(handle_), 1);
  EXPECT_EQ(client_->m_sound.on.load(), 0);
  EXPECT_EQ(client_->m_audioConduit->GetDataSize(), 0);
}

TEST_F(RunningClient, ReplayTransport) {
  EXPECT_EQ(KVNET_ReplayPause(handle_), 1);
  EXPECT_EQ(client_->m_replayControl.state.load(), 1);
  EXPECT_EQ(KVNET_ReplayStepByStep(handle_), 1);
  EXPECT_EQ(client_->m_replayControl.state.load(), 2);
  EXPECT_EQ(client_->m_replayControl.stepRequest.load(), 1);
  EXPECT_EQ(KVNET_ReplayContinue(handle_), 1);
  EXPECT_EQ(client_->m_replayControl.state.load(), 0);

  for (int level = 1; level <= 4; ++level) EXPECT_EQ(KVNET_SpeedFast(handle_), 1);
  EXPECT_EQ(KVNET_SpeedFast(handle_), 0);
  EXPECT_EQ(client_->m_replayControl.speed.load(), 4);
  EXPECT_EQ(KVNET_SpeedNormal(handle_), 1);
  EXPECT_EQ(client_->m_replayControl.speed.load(), 0);
  for (int level = 1; level <= 4; ++level) EXPECT_EQ(KVNET_SpeedSlow(handle_), 1);
  EXPECT_EQ(KVNET_SpeedSlow(handle_), 0);
  EXPECT_EQ(client_->m_replayControl.speed.load(), -4);

  // Without a length, seeking does nothing.
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 3), 0);
  EXPECT_EQ(client_->m_replayControl.seekPending.load(), 0);
  client_->m_replayControl.totalTime = 100;
  client_->m_replayControl.curTime = 250;
  EXPECT_EQ(KVNET_ReplayCurTime(handle_), 100u);
  EXPECT_EQ(KVNET_ReplayTotalTime(handle_), 100u);
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 500), 1);
  EXPECT_EQ(client_->m_replayControl.seekTarget.load(), 100u);
  EXPECT_EQ(client_->m_replayControl.curTime.load(), 100u);
  EXPECT_EQ(client_->m_replayControl.seekPending.load(), 1);
  EXPECT_EQ(client_->m_replayControl.seekWhilePaused.load(), 0);
  KVNET_ReplayPause(handle_);
  EXPECT_EQ(KVNET_ReplaySeek(handle_, 40), 1);
  EXPECT_EQ(client_->m_replayControl.seekWhilePaused.load(), 1);
  EXPECT_EQ(KVNET_ReplayCurTime(handle_), 40u);
}

TEST_F(RunningClient, UdpClientsHaveNoCommandChannel) {
  EXPECT_EQ(KVNET_ClientPTZCtrl(handle_, 1, 1), 0);
  EXPECT_EQ(KVNET_ClientStartTalk(handle_), 0);
  KVNET_ClientStopTalk(handle_);
}

TEST_F(RunningClient, SnapshotNeedsADisplayWorker) {
  // The test source has no decode worker to serve the request: it is not taken.
  EXPECT_EQ(KVNET_ClientCapturePicture(handle_, "/tmp/kvnet-never.jpg"), 0);
  EXPECT_EQ(client_->m_source->Display(), nullptr);
  EXPECT_FALSE(std::ifstream("/tmp/kvnet-never.jpg").good());
}

}  // namespace
