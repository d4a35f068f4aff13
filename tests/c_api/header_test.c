/* Compiles the public header as C and calls a few exports through the shared library. */
#include <stdio.h>
#include <string.h>

#include "KvNetClient.h"

int main(void) {
  KVNET_CLIENT_PARAM param;
  memset(&param, 0, sizeof param);
  if (sizeof param != 300 || sizeof(KVNET_VIDEO_INFO) != 12 || sizeof(KVNET_FRAME_INFO) != 20 ||
      sizeof(KVNET_MD_INFO) != 272) {
    puts("record sizes differ");
    return 1;
  }
  if (KVNET_SetWaitTime(0, -1, 0) != 1) return 2;
  if (KVNET_GetClientState(NULL) != KVNET_INVALID_STATE) return 3;
  if (KVNET_ClientShowcallback(1, 2, 3) != 1) return 4;
  if (KVNET_ClientSetWnd(NULL, 0) != 1) return 5;
  if (KVNET_ClientStop(NULL) != 0) return 6;
  param.transport = 3;
  if (KVNET_ClientStart(&param) != NULL) return 7;
  puts("C header test passed");
  return 0;
}
