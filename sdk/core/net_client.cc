// CNetClient: initialisation, building, start, halt, destruction and caller notification.
#include "sdk/core/net_client.h"

#include <cstring>

#include "sdk/core/client_control.h"
#include "sdk/core/client_parts.h"
#include "sdk/core/library.h"
#include "sdk/media/audio_player.h"
#include "sdk/media/av_display.h"
#include "sdk/media/bit_rate.h"
#include "sdk/media/buffer_conduit.h"
#include "sdk/platform/window_system.h"
#include "sdk/sources/av_source.h"

namespace kv {
namespace {

constexpr int32_t kVideoConduitCapacity = 4194304;
constexpr int32_t kLiveAudioConduitCapacity = 131072;
constexpr int32_t kReplayAudioConduitCapacity = 2048;
constexpr int32_t kConduitLowWater = 8192;
// The stream a client assumes until its source or file tells otherwise.
constexpr int32_t kLiveWidth = 720, kLiveHeight = 576, kLiveFrameRate = 25, kLiveBitRate = 512;
constexpr int32_t kReplayWidth = 1600, kReplayHeight = 1200, kReplayFrameRate = 30;
constexpr int32_t kReplayBitRate = 2048;
constexpr int32_t kReplayVertBlankDivisor = 10;
constexpr int32_t kDefaultMotionShowMode = 2;
constexpr int16_t kDefaultPort = 554;

// True when text holds a NUL within its field of n bytes.
bool TerminatedWithin(const char* text, size_t n) { return std::memchr(text, '\0', n) != nullptr; }

// Reads the decimal port after the colon: optional blanks and sign, then digits; 0 without
// digits. The result is truncated to 16 bits.
int16_t ParsePort(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint32_t value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10u + static_cast<uint32_t>(*text++ - '0');
  if (negative) value = 0u - value;
  return static_cast<int16_t>(value & 0xFFFFu);
}

}  // namespace

CNetClient::CNetClient() = default;
CNetClient::~CNetClient() { Destroy(); }

bool CNetClient::InitLive(const KVNET_CLIENT_PARAM& param) {
  std::memcpy(&m_link.param, &param, sizeof m_link.param);
  if (!TerminatedWithin(m_link.param.address, sizeof m_link.param.address) ||
      !TerminatedWithin(m_link.param.userName, sizeof m_link.param.userName) ||
      !TerminatedWithin(m_link.param.password, sizeof m_link.param.password)) {
    return false;
  }
  m_link.state = LINK_CONNECTING;
  m_viewState.mdShowMode = kDefaultMotionShowMode;
  m_stream.width = kLiveWidth;
  m_stream.height = kLiveHeight;
  m_stream.frameRate = kLiveFrameRate;
  m_stream.bitRate = kLiveBitRate;
  m_sound.on = 0;
  m_viewState.vertBlankDivisor = 0;
  m_viewState.view = m_link.param.view != 0 ? 1 : 0;
  m_viewState.videoWindow = m_link.param.videoWnd;

  // The address field is shorter than host, so the copy always fits.
  std::strcpy(m_link.host, m_link.param.address);
  m_link.port = kDefaultPort;
  if (char* colon = std::strrchr(m_link.host, ':')) {
    m_link.port = ParsePort(colon + 1);
    *colon = '\0';
  }
  return true;
}

bool CNetClient::InitReplay(const char* path, KVNET_HWND window) {
  if (path == nullptr || !TerminatedWithin(path, sizeof m_link.replayPath)) return false;
  std::strcpy(m_link.replayPath, path);
  m_link.replay = 1;
  m_viewState.view = 1;
  m_link.param.view = 1;
  m_sound.on = 1;
  m_viewState.videoWindow = window;
  m_link.param.videoWnd = window;
  m_stream.width = kReplayWidth;
  m_stream.height = kReplayHeight;
  m_stream.frameRate = kReplayFrameRate;
  m_stream.bitRate = kReplayBitRate;
  m_viewState.vertBlankDivisor = kReplayVertBlankDivisor;
  m_link.state = 0;
  return true;
}

bool CNetClient::Build() {
  m_ownedVideoConduit = std::make_unique<CBufferConduit>();
  if (!m_ownedVideoConduit->Create(kVideoConduitCapacity, false, kConduitLowWater, true)) {
    return false;
  }
  m_videoConduit = m_ownedVideoConduit.get();

  m_ownedAudioConduit = std::make_unique<CBufferConduit>();
  const int32_t audioCapacity =
      m_link.replay ? kReplayAudioConduitCapacity : kLiveAudioConduitCapacity;
  if (!m_ownedAudioConduit->Create(audioCapacity, false, kConduitLowWater, false)) return false;
  m_audioConduit = m_ownedAudioConduit.get();

  if (!m_link.replay &&
      (m_link.param.transport < TRANSPORT_RTSP_UDP || m_link.param.transport > TRANSPORT_UDP)) {
    return false;
  }
  if (!m_link.replay && m_link.param.transport != TRANSPORT_UDP)
    m_eventReceiver = MakeEventReceiver(*this);
  const ClientPartsFactory& factory = PartsFactory();
  m_source = factory.makeSource ? factory.makeSource(*this) : nullptr;
  if (!m_source) return false;
  m_source->Attach(SourceParts(m_videoConduit, m_audioConduit));

  m_audioPlayer = factory.makeAudioPlayer ? factory.makeAudioPlayer(*this) : nullptr;
  if (!m_audioPlayer) return false;
  m_bitRateMeter = std::make_unique<CBitRate>(&m_counters);

  if (!m_audioPlayer->PrepareBuffers()) return false;
  if (!m_source->Open()) return false;
  return m_bitRateMeter->CreateStopEvent();
}

bool CNetClient::Start() {
  if (m_audioPlayer->StartThread() != 0) return false;
  if (m_source->Start() != 0) {
    m_audioPlayer->Stop();
    return false;
  }
  if (m_bitRateMeter->Start() != 0) {
    m_audioPlayer->Stop();
    m_source->Stop();
    return false;
  }
  return true;
}

void CNetClient::Halt() {
  if (m_talk) m_talk->Halt();
  if (m_audioConduit != nullptr) m_audioConduit->Abort();
  if (m_videoConduit != nullptr) m_videoConduit->Abort();
  if (m_source) {
    m_source->Stop();
    m_source->Close();
  }
  if (m_eventReceiver) m_eventReceiver->Stop();
  if (m_audioPlayer) {
    m_audioPlayer->Stop();
    m_audioPlayer->FreeBuffers();
  }
  if (m_bitRateMeter) m_bitRateMeter->Stop();
}

void CNetClient::Destroy() {
  m_source.reset();
  m_eventReceiver.reset();
  m_audioPlayer.reset();
  m_bitRateMeter.reset();
  m_videoConduit = nullptr;
  m_ownedVideoConduit.reset();
  m_audioConduit = nullptr;
  m_ownedAudioConduit.reset();
  m_talk.reset();
}

SourceContext CNetClient::SourceParts(CIConduit* videoConduit, CIConduit* audioConduit) {
  return SourceContext{&m_link,           &m_stream,   &m_sound, &m_viewState, &m_replayControl,
                       &m_recordSettings, &m_counters, this,     videoConduit, audioConduit};
}

DisplayBinding CNetClient::DisplayParts() {
  DisplayBinding binding;
  binding.link = &m_link;
  binding.stream = &m_stream;
  binding.view = &m_viewState;
  binding.replay = &m_replayControl;
  binding.counters = &m_counters;
  binding.notifier = this;
  binding.videoConduit = m_videoConduit;
  binding.isRecording = [this] { return m_source != nullptr && m_source->IsRecording() != 0; };
  return binding;
}

void CNetClient::Notify(int eventClass, int code) {
  if (KVNET_EventCallback callback = Library().eventCallback.load()) {
    const int user = eventClass == KV_EVENT_REPLAY_END ? 0 : m_link.param.userValue;
    callback(Handle(), eventClass, code, user);
    return;
  }
  if (m_link.param.notifyWnd != 0 && eventClass != KV_EVENT_REPLAY_END) {
    platform::GetWindowSystem().PostMessage(m_link.param.notifyWnd, m_link.param.messageId,
                                            static_cast<uint32_t>(eventClass),
                                            static_cast<uint32_t>(code));
  }
}

}  // namespace kv
