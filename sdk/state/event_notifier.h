// How a client's parts reach the caller: the events of the client and the handle the
// caller's callbacks are given.
#pragma once

#include "KvNetClient.h"

namespace kv {

class IEventNotifier {
 public:
  // Reports an event of a class (KV_EVENT_...) with its code to the caller.
  virtual void Notify(int eventClass, int code) = 0;
  // The client's handle, the first argument of every callback.
  virtual KVNET_HANDLE Handle() const = 0;

 protected:
  ~IEventNotifier() = default;
};

}  // namespace kv
