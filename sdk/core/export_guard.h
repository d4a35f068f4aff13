// The exported call frame: nothing thrown inside the library crosses the C interface.
#pragma once

#include <exception>
#include <utility>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"

namespace kv {

// Runs body and returns its result, or failValue when it throws.
template <typename T, typename Body>
T Guarded(T failValue, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return failValue;
  }
}

// Runs body(client) for a non-null handle; a null handle or a throw gives failValue.
template <typename T, typename Body>
T WithClient(KVNET_HANDLE handle, T failValue, Body&& body) noexcept {
  if (handle == nullptr) return failValue;
  return Guarded(failValue, [&] { return body(*CNetClient::FromHandle(handle)); });
}

}  // namespace kv
