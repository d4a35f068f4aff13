// The one-shot MCTP/1.0 commands: each opens its own connection to the device, sends one
// request, checks one reply and closes the connection. They run on the caller's thread and
// block it for at most their connect, send and receive time-outs. Results: 1 success, 0 failure.
#pragma once

#include <cstdint>

#include "KvNetClient.h"
#include "sdk/control/control_seams.h"

namespace kv {

// Fills info from the device's 16 region lines; on a failure the record holds the lines read
// so far.
int GetMDInfo(const DeviceEndpoint& device, KVNET_MD_INFO* info);
// Refused without connecting when the request would not fit the request buffer.
int SaveMDInfo(const DeviceEndpoint& device, const KVNET_MD_INFO& info);
int StartMD(const DeviceEndpoint& device);
int StopMD(const DeviceEndpoint& device);
int StopAlarm(const DeviceEndpoint& device, int value);
int SetVideoParam(const DeviceEndpoint& device, int p1, int p2, int p3, int mode);
// Stores the three values only when a well-formed reply arrived.
int GetVideoParam(const DeviceEndpoint& device, uint8_t* p1, uint8_t* p2, uint8_t* p3);
// 1 when the request went whole and the receive that follows did not fail (an empty receive,
// the device closing the connection, counts as success).
int PTZCtrl(const DeviceEndpoint& device, int command, int parameter);

}  // namespace kv
