/* live_record: opens a live client, prints the library's events and the bit rate once a
 * second, and records the stream for N seconds. It uses only the installed KvNetClient.
 *
 *   cc -o live_record live_record.c $(pkg-config --cflags --libs kvnetclient)
 *   ./live_record udp://127.0.0.1:5000 10 recordings/live.rec
 *
 * ADDRESS is udp://HOST:PORT (the proprietary UDP stream arriving at the local port PORT from
 * HOST), rtsp://HOST[:PORT] (RTSP, RTP over UDP) or rtsp-tcp://HOST[:PORT] (RTP interleaved). */
#define _POSIX_C_SOURCE 200809L

#include <KvNetClient.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static atomic_int g_connected;
static atomic_int g_recordStarted;
static atomic_int g_recordStopped;

static const char* EventName(int eventClass, int code) {
  static const char* const link[] = {"LINK_CONNECTED",  "LINK_CONNECTING", "LINK_CONNECT_FAILED",
                                     "LINK_LOST",       "LINK_RETRYING",   "LINK_CLOSED",
                                     "LINK_AUTH_FAILED"};
  static const char* const record[] = {"REC_STARTED",       "REC_STOPPED", "ALARM_REC_STARTED",
                                       "ALARM_REC_STOPPED", "REC_TIME_UP", "ALARM_REC_TIME_UP"};
  if (eventClass == KV_EVENT_LINK && code >= 0 && code <= 6) return link[code];
  if (eventClass == KV_EVENT_RECORD && code >= 0 && code <= 5) return record[code];
  if (eventClass == KV_EVENT_MOTION) return "MOTION";
  if (eventClass == KV_EVENT_ALARM) return "ALARM";
  if (eventClass == KV_EVENT_REPLAY_END) return "REPLAY_END";
  return "OTHER";
}

/* Called on a library thread: print and note, nothing more. */
static void KVNET_CALL OnEvent(KVNET_HANDLE client, int eventClass, int code, int userValue) {
  (void)client;
  (void)userValue;
  printf("event: %s (class %d, code %d)\n", EventName(eventClass, code), eventClass, code);
  fflush(stdout);
  if (eventClass == KV_EVENT_LINK && code == LINK_CONNECTED) atomic_store(&g_connected, 1);
  if (eventClass == KV_EVENT_RECORD && code == REC_STARTED) atomic_store(&g_recordStarted, 1);
  if (eventClass == KV_EVENT_RECORD && code == REC_STOPPED) atomic_store(&g_recordStopped, 1);
}

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Fills the transport and "host[:port]" address from ADDRESS; 0 when it is not understood. */
static int ParseAddress(const char* text, KVNET_CLIENT_PARAM* param) {
  static const struct {
    const char* prefix;
    int transport;
  } kinds[] = {{"udp://", TRANSPORT_UDP},
               {"rtsp-tcp://", TRANSPORT_RTSP_TCP},
               {"rtsp://", TRANSPORT_RTSP_UDP}};
  for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; ++i) {
    const size_t n = strlen(kinds[i].prefix);
    if (strncmp(text, kinds[i].prefix, n) == 0) {
      const char* host = text + n;
      if (*host == '\0' || strlen(host) >= sizeof param->address) return 0;
      param->transport = (int16_t)kinds[i].transport;
      strcpy(param->address, host);
      return 1;
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr,
            "usage: %s udp://HOST:PORT|rtsp://HOST[:PORT]|rtsp-tcp://HOST[:PORT] "
            "SECONDS RECORD_FILE\n",
            argv[0]);
    return 2;
  }
  KVNET_CLIENT_PARAM param;
  memset(&param, 0, sizeof param);
  const int seconds = atoi(argv[2]);
  if (!ParseAddress(argv[1], &param) || seconds <= 0) {
    fprintf(stderr, "%s: bad address or seconds\n", argv[0]);
    return 2;
  }
  param.view = 1;     /* decode, so that pictures per second can be measured */
  param.videoWnd = 0; /* no window: the pictures are drawn nowhere */

  if (!KVNET_Startup(0, 0, OnEvent, 0)) {
    fprintf(stderr, "KVNET_Startup failed\n");
    return 1;
  }
  KVNET_HANDLE client = KVNET_ClientStart(&param);
  if (client == NULL) {
    fprintf(stderr, "cannot start a client for %s\n", argv[1]);
    KVNET_Cleanup();
    return 1;
  }

  /* Record from the moment the stream is there, for the given seconds (limit kept by the
   * library as well), printing the bit rate once a second. */
  int recording = 0;
  int elapsed = 0;
  const int waitLimit = seconds + 30;
  for (int tick = 0; tick < waitLimit && elapsed < seconds; ++tick) {
    SleepMs(1000);
    if (!recording && atomic_load(&g_connected)) {
      if (KVNET_ClientStartRecord(client, argv[3], seconds + 1) != 1) {
        fprintf(stderr, "cannot record into %s\n", argv[3]);
        break;
      }
      recording = 1;
    }
    int kbps = 0, fps = 0;
    KVNET_GetBitStreamInfo(client, &kbps, &fps);
    printf("status: %d s state %d, %d kbit/s, %d pictures/s\n", tick + 1,
           KVNET_GetClientState(client), kbps, fps);
    fflush(stdout);
    if (recording) ++elapsed;
  }
  if (recording) KVNET_ClientStopRecord(client);
  KVNET_ClientStop(client);
  KVNET_Cleanup();

  if (!atomic_load(&g_recordStarted) || !atomic_load(&g_recordStopped)) {
    fprintf(stderr, "no recording was made (no stream arrived?)\n");
    return 1;
  }
  FILE* f = fopen(argv[3], "rb");
  if (f == NULL) {
    fprintf(stderr, "the recording %s was not kept\n", argv[3]);
    return 1;
  }
  fseek(f, 0, SEEK_END);
  printf("recorded %s (%ld bytes)\n", argv[3], ftell(f));
  fclose(f);
  return 0;
}
