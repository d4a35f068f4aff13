/** @file KvNetClient.h
 * @brief Public C interface of the KvNetClient network video client.
 *
 * One client handle receives one channel of one device (proprietary UDP,
 * RTSP over UDP or RTSP over TCP) or replays one record file. Every export
 * returns 1 for success and 0 for failure unless its comment says otherwise;
 * a null handle returns the failure value and does nothing.
 *
 * Usable from C and C++. Records are little-endian with fixed layouts.
 *
 * Build against the installed library with
 * `cc prog.c $(pkg-config --cflags --libs kvnetclient)` or, in CMake,
 * `find_package(KvNetClient)` and the target `KvNetClient::KvNetClient`.
 */
#ifndef KVNETCLIENT_H
#define KVNETCLIENT_H

#include <stdint.h>

/** @cond internal */
#if defined(_WIN32) && !defined(_WIN64)
#define KVNET_CALL __stdcall
#else
#define KVNET_CALL
#endif

#if defined(KVNET_BUILDING_LIBRARY)
#define KVNET_API __attribute__((visibility("default")))
#else
#define KVNET_API
#endif
/** @endcond */

#ifdef __cplusplus
extern "C" {
#endif

/** Opaque client handle. */
typedef struct KVNET_CLIENT_OBJECT* KVNET_HANDLE;

/** A window: an X11 window id (or a headless window id). */
typedef uint32_t KVNET_HWND;

/** @name Transport kinds (KVNET_CLIENT_PARAM.transport)
 * @{ */
#define TRANSPORT_RTSP_UDP 0 /**< RTSP/1.0, RTP over UDP */
#define TRANSPORT_RTSP_TCP 1 /**< RTSP/1.0, RTP interleaved on the TCP connection */
#define TRANSPORT_UDP 2      /**< the proprietary UDP stream */
/** @} */

/** @name Codec codes (stream descriptions and record files)
 * @{ */
#define VCODEC_H264 96   /**< H.264 video */
#define VCODEC_MPEG4 97  /**< MPEG-4 Part 2 video */
#define VCODEC_MJPEG 26  /**< Motion JPEG video */
#define ACODEC_G711A 1   /**< G.711 A-law */
#define ACODEC_G711U 2   /**< G.711 u-law */
#define ACODEC_G726_16 4 /**< G.726 at 16 kbit/s */
#define ACODEC_G726_24 5 /**< G.726 at 24 kbit/s */
#define ACODEC_G726_32 6 /**< G.726 at 32 kbit/s */
#define ACODEC_G726_40 7 /**< G.726 at 40 kbit/s */
/** @} */

/** @name Event classes (callback argument 2 / window message wParam)
 * @{ */
#define KV_EVENT_LINK 1       /**< connection state changed; code LINK_* */
#define KV_EVENT_MOTION 2     /**< motion reported by the device */
#define KV_EVENT_ALARM 4      /**< alarm reported by the device */
#define KV_EVENT_RECORD 6     /**< recording started or stopped; code REC_* */
#define KV_EVENT_REPLAY_END 7 /**< a replay reached the end of its file (callback only) */
/** @} */

/** @name KV_EVENT_LINK codes; also the client states of KVNET_GetClientState
 * @{ */
#define LINK_CONNECTED 0      /**< the stream is there */
#define LINK_CONNECTING 1     /**< connecting */
#define LINK_CONNECT_FAILED 2 /**< the connection failed */
#define LINK_LOST 3           /**< the stream stopped arriving */
#define LINK_RETRYING 4       /**< connecting again */
#define LINK_CLOSED 5         /**< the client was stopped */
#define LINK_AUTH_FAILED 6    /**< the device refused the user name or password */
/** @} */

/** @name KV_EVENT_RECORD codes
 * @{ */
#define REC_STARTED 0       /**< normal recording started */
#define REC_STOPPED 1       /**< normal recording stopped */
#define ALARM_REC_STARTED 2 /**< alarm recording started */
#define ALARM_REC_STOPPED 3 /**< alarm recording stopped */
#define REC_TIME_UP 4       /**< normal recording reached its duration */
#define ALARM_REC_TIME_UP 5 /**< alarm recording reached its duration */
/** @} */

/** Value KVNET_GetClientState returns for a null handle. */
#define KVNET_INVALID_STATE 0xFFFF

#pragma pack(push, 1)

/** Parameters of a live client, 300 bytes. */
typedef struct KVNET_CLIENT_PARAM {
  int16_t transport;     /**< TRANSPORT_* */
  uint16_t view;         /**< non-zero: draw video from the start */
  int32_t channel;       /**< stream number on the device */
  uint32_t videoWnd;     /**< KVNET_HWND receiving the video */
  uint32_t notifyWnd;    /**< KVNET_HWND receiving event messages; 0: none */
  uint32_t messageId;    /**< message number of every event message */
  uint8_t reserved1[16]; /**< copied, not interpreted */
  int32_t userValue;     /**< passed back to the callbacks */
  char address[161];     /**< "host" or "host:port" */
  char userName[33];     /**< RTSP Digest user */
  char password[33];     /**< RTSP Digest password */
  uint8_t reserved2[33]; /**< copied, not interpreted */
} KVNET_CLIENT_PARAM;

/** Stream description filled by KVNET_GetClientParam, 12 bytes. */
typedef struct KVNET_VIDEO_INFO {
  uint16_t width;     /**< picture width in pixels */
  uint16_t height;    /**< picture height in pixels */
  uint16_t frameRate; /**< pictures per second */
  uint8_t videoCodec; /**< VCODEC_* */
  uint8_t audioCodec; /**< ACODEC_* */
  uint32_t bitRate;   /**< bit rate in kbit/s */
} KVNET_VIDEO_INFO;

/** Record handed to the raw-video callback, 20 bytes. */
typedef struct KVNET_FRAME_INFO {
  uint16_t width;      /**< picture width in pixels */
  uint16_t height;     /**< picture height in pixels */
  uint32_t timeStamp;  /**< RTP time stamp, host byte order */
  uint16_t mediaKind;  /**< 0 video */
  uint16_t videoCodec; /**< VCODEC_* */
  uint16_t audioCodec; /**< ACODEC_* */
  uint16_t frameRate;  /**< pictures per second */
  uint16_t nalType;    /**< H.264 NAL unit type of the delivered unit */
  uint16_t fragment;   /**< 1: first fragment of a fragmented unit */
} KVNET_FRAME_INFO;

/** Motion-detection settings of one channel, 272 bytes. */
typedef struct KVNET_MD_INFO {
  uint8_t setting[16];   /**< setting byte of regions 0..15 */
  int32_t region[16][4]; /**< left, top, right, bottom of regions 0..15 */
} KVNET_MD_INFO;

#pragma pack(pop)

/** @cond internal */
#ifdef __cplusplus
#define KVNET_STATIC_ASSERT static_assert
#else
#define KVNET_STATIC_ASSERT _Static_assert
#endif
#define KVNET_CHECK_OFFSET(type, field, off) \
  KVNET_STATIC_ASSERT(__builtin_offsetof(type, field) == (off), #type "." #field)

KVNET_STATIC_ASSERT(sizeof(KVNET_CLIENT_PARAM) == 300, "KVNET_CLIENT_PARAM size");
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, transport, 0);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, view, 2);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, channel, 4);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, videoWnd, 8);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, notifyWnd, 12);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, messageId, 16);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, reserved1, 20);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, userValue, 36);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, address, 40);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, userName, 201);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, password, 234);
KVNET_CHECK_OFFSET(KVNET_CLIENT_PARAM, reserved2, 267);

KVNET_STATIC_ASSERT(sizeof(KVNET_VIDEO_INFO) == 12, "KVNET_VIDEO_INFO size");
KVNET_CHECK_OFFSET(KVNET_VIDEO_INFO, width, 0);
KVNET_CHECK_OFFSET(KVNET_VIDEO_INFO, height, 2);
KVNET_CHECK_OFFSET(KVNET_VIDEO_INFO, frameRate, 4);
KVNET_CHECK_OFFSET(KVNET_VIDEO_INFO, videoCodec, 6);
KVNET_CHECK_OFFSET(KVNET_VIDEO_INFO, audioCodec, 7);
KVNET_CHECK_OFFSET(KVNET_VIDEO_INFO, bitRate, 8);

KVNET_STATIC_ASSERT(sizeof(KVNET_FRAME_INFO) == 20, "KVNET_FRAME_INFO size");
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, width, 0);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, height, 2);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, timeStamp, 4);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, mediaKind, 8);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, videoCodec, 10);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, audioCodec, 12);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, frameRate, 14);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, nalType, 16);
KVNET_CHECK_OFFSET(KVNET_FRAME_INFO, fragment, 18);

KVNET_STATIC_ASSERT(sizeof(KVNET_MD_INFO) == 272, "KVNET_MD_INFO size");
KVNET_CHECK_OFFSET(KVNET_MD_INFO, setting, 0);
KVNET_CHECK_OFFSET(KVNET_MD_INFO, region, 16);
/** @endcond */

/** Event callback: (client, event class, code, user value). */
typedef void(KVNET_CALL* KVNET_EventCallback)(KVNET_HANDLE client, int eventClass, int code,
                                              int userValue);
/** Raw-video callback: (client, data, length, frame info, user value). */
typedef void(KVNET_CALL* KVNET_AVCallback)(KVNET_HANDLE client, const uint8_t* data, int length,
                                           const KVNET_FRAME_INFO* info, int userValue);
/** Draw callback: (client, cairo context of the surface being drawn, context). */
typedef int(KVNET_CALL* KVNET_DrawCallback)(KVNET_HANDLE client, void* dc, void* context);

/* ---- Library ---- */
/** Starts the library; stores the event callback. 0 only if networking cannot start. */
KVNET_API int KVNET_CALL KVNET_Startup(int value1, int value2, KVNET_EventCallback callback,
                                       int value4);
/** Ends the library: closes the log, frees overlay resources, unloads libavcodec. */
KVNET_API void KVNET_CALL KVNET_Cleanup(void);
/** Connect time-out (s, <=0 gives 5), retry count (-1 unlimited, other negatives give 1),
 * retry interval (s, negative gives 10). Always 1. */
KVNET_API int KVNET_CALL KVNET_SetWaitTime(int connectTimeout, int retryCount, int retryInterval);
/** Prints into the log file while a log line is being written; returns the length or 0. */
KVNET_API int KVNET_Log(const char* format, ...);

/* ---- Client session ---- */
/** Creates and starts a live client; null on failure. */
KVNET_API KVNET_HANDLE KVNET_CALL KVNET_ClientStart(const KVNET_CLIENT_PARAM* param);
/** Stops and destroys a live client. */
KVNET_API int KVNET_CALL KVNET_ClientStop(KVNET_HANDLE client);
/** Accepts and ignores its arguments. Always 1. */
KVNET_API int KVNET_CALL KVNET_ClientShowcallback(int a, int b, int c);
/** Client state LINK_*; KVNET_INVALID_STATE for a null handle. */
KVNET_API int KVNET_CALL KVNET_GetClientState(KVNET_HANDLE client);
/** Last measured bit rate (kbit/s) and decoded pictures per second. */
KVNET_API int KVNET_CALL KVNET_GetBitStreamInfo(KVNET_HANDLE client, int* bitRate, int* frameRate);
/** Fills the stream description for a non-null handle. Always 0. */
KVNET_API int KVNET_CALL KVNET_GetClientParam(KVNET_HANDLE client, KVNET_VIDEO_INFO* info);
/** Replaces the process-wide raw-video callback; returns it. */
KVNET_API KVNET_AVCallback KVNET_CALL KVNET_SetAVCallback(KVNET_AVCallback callback);

/* ---- Display ---- */
/** Draw video from now on. */
KVNET_API int KVNET_CALL KVNET_ClientStartView(KVNET_HANDLE client);
/** Stop drawing; returns once no picture is being drawn. */
KVNET_API int KVNET_CALL KVNET_ClientStopView(KVNET_HANDLE client);
/** Moves drawing to another window. Always 1. */
KVNET_API int KVNET_CALL KVNET_ClientSetWnd(KVNET_HANDLE client, KVNET_HWND wnd);
/** Redraws the last picture; 0 while the view is off. */
KVNET_API int KVNET_CALL KVNET_ClientRefreshWnd(KVNET_HANDLE client);
/** Vertical flip on/off; returns the handle. */
KVNET_API KVNET_HANDLE KVNET_CALL KVNET_ClientVerticalFlip(KVNET_HANDLE client, int on);
/** Rotation by 180 degrees on/off; returns the handle. */
KVNET_API KVNET_HANDLE KVNET_CALL KVNET_ClientRotate180(KVNET_HANDLE client, int on);
/** Tearing guard divisor (0 off); returns the handle. */
KVNET_API KVNET_HANDLE KVNET_CALL KVNET_SetVertBlank(KVNET_HANDLE client, int divisor);
/** How motion regions are marked on the picture (initially 2). */
KVNET_API int KVNET_CALL KVNET_ClientShowMDRegion(KVNET_HANDLE client, int flags);
/** Replaces the process-wide draw callback (effective at the next stream start); returns it. */
KVNET_API KVNET_DrawCallback KVNET_CALL KVNET_SetDrawCallback(KVNET_DrawCallback callback);

/* ---- Audio ---- */
/** Sound on. */
KVNET_API int KVNET_CALL KVNET_ClientPlayAudio(KVNET_HANDLE client);
/** Sound off; drops queued sound. */
KVNET_API int KVNET_CALL KVNET_ClientStopAudio(KVNET_HANDLE client);

/* ---- Snapshot and recording ---- */
/** Asks for the next shown picture (while a replay is paused or stepping, the picture on show,
 * within about 100 ms) to be saved as a JPEG file at path, creating its folders. Returns 1 when
 * the request is stored; 0 for a null or empty path, a path of 256 characters or more, a path
 * without a '/' or '\' folder separator, or when the folders cannot be made. MJPEG frames are
 * saved as received, other pictures as 4:4:4 baseline JPEG. Nothing reports when the file is
 * written; a later request before then replaces the path. */
KVNET_API int KVNET_CALL KVNET_ClientCapturePicture(KVNET_HANDLE client, const char* path);
/** Starts normal recording into path for the given seconds. */
KVNET_API int KVNET_CALL KVNET_ClientStartRecord(KVNET_HANDLE client, const char* path,
                                                 int seconds);
/** Stops normal recording. */
KVNET_API int KVNET_CALL KVNET_ClientStopRecord(KVNET_HANDLE client);
/** Starts or extends alarm recording. */
KVNET_API int KVNET_CALL KVNET_ClientStartAlarmRecord(KVNET_HANDLE client, const char* path,
                                                      unsigned int seconds);
/** Stops alarm recording. */
KVNET_API int KVNET_CALL KVNET_ClientStopAlarmRecord(KVNET_HANDLE client);

/* ---- Device control (MCTP/1.0) ---- */
/** Sends a video-parameter command to the device. */
KVNET_API int KVNET_CALL KVNET_ClientSetVideoParam(KVNET_HANDLE client, int p1, int p2, int p3,
                                                   int mode);
/** Queries the device's video parameters. */
KVNET_API int KVNET_CALL KVNET_ClientGetVideoParam(KVNET_HANDLE client, uint8_t* p1, uint8_t* p2,
                                                   uint8_t* p3);
/** Pan/tilt/zoom command. */
KVNET_API int KVNET_CALL KVNET_ClientPTZCtrl(KVNET_HANDLE client, int command, int parameter);
/** Reads the motion-detection settings. */
KVNET_API int KVNET_CALL KVNET_ClientGetMDInfo(KVNET_HANDLE client, KVNET_MD_INFO* info);
/** Writes the motion-detection settings. */
KVNET_API int KVNET_CALL KVNET_ClientSaveMDInfo(KVNET_HANDLE client, const KVNET_MD_INFO* info);
/** Starts motion detection on the device. */
KVNET_API int KVNET_CALL KVNET_ClientStartMD(KVNET_HANDLE client);
/** Stops motion detection on the device. */
KVNET_API int KVNET_CALL KVNET_ClientStopMD(KVNET_HANDLE client);
/** Resets an alarm output on the device. */
KVNET_API int KVNET_CALL KVNET_ClientStopAlarm(KVNET_HANDLE client, int value);
/** Starts two-way talk. */
KVNET_API int KVNET_CALL KVNET_ClientStartTalk(KVNET_HANDLE client);
/** Stops two-way talk. */
KVNET_API void KVNET_CALL KVNET_ClientStopTalk(KVNET_HANDLE client);

/* ---- Replay ---- */
/** Creates a client replaying a record file into wnd; startPaused shows the first picture
 * and pauses. Null on failure. */
KVNET_API KVNET_HANDLE KVNET_CALL KVNET_OpenFile(const char* path, KVNET_HWND wnd, int startPaused);
/** Stops and destroys a replay client. */
KVNET_API int KVNET_CALL KVNET_CloseFile(KVNET_HANDLE client);
/** Pauses replay. */
KVNET_API int KVNET_CALL KVNET_ReplayPause(KVNET_HANDLE client);
/** Resumes replay. */
KVNET_API int KVNET_CALL KVNET_ReplayContinue(KVNET_HANDLE client);
/** Shows one more picture, then stays paused. */
KVNET_API int KVNET_CALL KVNET_ReplayStepByStep(KVNET_HANDLE client);
/** Speed level +1 (up to +4); 0 at the limit. */
KVNET_API int KVNET_CALL KVNET_SpeedFast(KVNET_HANDLE client);
/** Speed level 0. */
KVNET_API int KVNET_CALL KVNET_SpeedNormal(KVNET_HANDLE client);
/** Speed level -1 (down to -4); 0 at the limit. */
KVNET_API int KVNET_CALL KVNET_SpeedSlow(KVNET_HANDLE client);
/** Length of the open file in seconds. */
KVNET_API unsigned int KVNET_CALL KVNET_ReplayTotalTime(KVNET_HANDLE client);
/** Current position in seconds, never more than the length. */
KVNET_API unsigned int KVNET_CALL KVNET_ReplayCurTime(KVNET_HANDLE client);
/** Jumps to a position in seconds; 0 if the length is 0. */
KVNET_API int KVNET_CALL KVNET_ReplaySeek(KVNET_HANDLE client, unsigned int seconds);

#ifdef __cplusplus
}
#endif

#endif /* KVNETCLIENT_H */
