// A private Xvfb display for tests that need X11, and a small X client that plays the part of
// the caller (its own windows on its own connection).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kv::test {

// Sets (or unsets, for null) an environment variable and restores the old value on exit.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// One Xvfb process on a display number nobody else uses; stopped and reaped by Stop() or the
// destructor.
class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // True when an Xvfb binary is on the PATH.
  static bool Installed();
  // Starts Xvfb (1024x768x24, no TCP, no reset) and waits until it accepts a connection. On failure
  // returns false and says why in *error.
  bool Start(std::string* error);
  void Stop();
  bool Running() const { return pid_ > 0; }
  // ":N" while running.
  const std::string& DisplayName() const { return displayName_; }

 private:
  bool tryDisplay(const std::string& binary, int number, std::string* error);

  int pid_ = -1;
  std::string displayName_;
};

// Fixture: one Xvfb per test suite; every test runs with DISPLAY pointing at it and is
// skipped when Xvfb is missing or cannot start.
class XvfbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  static const std::string& DisplayName();

 private:
  static XvfbServer* server_;
  static std::string skipReason_;
  std::unique_ptr<ScopedEnv> display_;
};

// A ClientMessage event as the caller's connection received it.
struct ReceivedClientMessage {
  uint32_t window = 0;
  std::string typeName;  // name of the message type atom
  int format = 0;
  std::array<uint32_t, 5> data32{};
};

// The caller's side: its own connection, windows and event queue. All calls fail softly
// (0/false) when the connection is broken.
class X11TestClient {
 public:
  X11TestClient();
  ~X11TestClient();
  X11TestClient(const X11TestClient&) = delete;
  X11TestClient& operator=(const X11TestClient&) = delete;

  // Connects to the display named (null: $DISPLAY).
  bool Connect(const char* displayName = nullptr);
  uint32_t RootWindow() const;
  // Creates an input-output window (parent 0: the root); 0 on failure.
  uint32_t CreateWindow(uint32_t parent, int16_t x, int16_t y, uint16_t width, uint16_t height);
  bool MapWindow(uint32_t window);
  bool UnmapWindow(uint32_t window);
  bool DestroyWindow(uint32_t window);
  // Round trip: every request sent before has been processed by the server.
  bool Sync();
  // Waits up to timeoutMs for the next ClientMessage (other events are dropped).
  std::optional<ReceivedClientMessage> WaitClientMessage(uint32_t timeoutMs);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kv::test
