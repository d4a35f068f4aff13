// What device control shares with the layers above it: where a device is reached, the
// notifier that takes device events, and the two long-lived control parts a client owns (the
// event receiver that the RTSP sources start after PLAY and stop at their end, and talk).
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// The device's control address: the RTSP host and port of the client, its channel, and the
// credentials (kept for the caller's record; the commands carry none).
struct DeviceEndpoint {
  std::string host;
  uint16_t port = 554;
  int32_t channel = 0;
  std::string user;
  std::string password;
};

// Takes the motion and alarm events of a device (the client raises them to the caller).
class IDeviceEventSink {
 public:
  virtual ~IDeviceEventSink() = default;
  virtual void OnDeviceEvent(int eventClass, int code) = 0;
};

// The event connection of a playing RTSP stream.
class IEventReceiver {
 public:
  virtual ~IEventReceiver() = default;
  // Logs in with the RTSP session id and runs the receive thread; false when the device did
  // not accept the log-in (the stream then runs without device events).
  virtual bool Start(const std::string& sessionId) = 0;
  // Closes the connection, stops the thread and waits for it; safe when not started.
  virtual void Stop() = 0;
  virtual bool IsRunning() const = 0;
};

// Ends a two-way talk session.
class ITalkSession {
 public:
  virtual ~ITalkSession() = default;
  // Sets the stop flag, signals the stop event, closes the socket and joins the thread.
  virtual void Halt() = 0;
};

}  // namespace kv
