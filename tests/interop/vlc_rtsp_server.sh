#!/usr/bin/env bash
# An RTSP server nobody here wrote, for interoperability tests: VLC's RTSP streaming output
# serves a live test pattern as H.264 and a tone as G.711 A-law over RTP/UDP.
#   vlc_rtsp_server.sh PORT [PATH]   serves rtsp://127.0.0.1:PORT/PATH (default "stream")
# Prints "listening on rtsp://127.0.0.1:PORT/PATH" when VLC has started; runs until killed.
# Exit status 77 when VLC or ffmpeg is missing (the tests skip then). VLC refuses to run as
# root, so as root it runs as the user nobody.
set -euo pipefail
port="${1:?usage: vlc_rtsp_server.sh PORT [PATH]}"
path="${2:-stream}"
for tool in cvlc ffmpeg; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 77; }
done
[[ -e /usr/lib/x86_64-linux-gnu/vlc/plugins/codec/libaraw_plugin.so ]] ||
  { echo "missing: VLC's raw audio plugin (vlc-plugin-base)" >&2; exit 77; }

work="$(mktemp -d)"
chmod 755 "$work"
pids=()
# Whatever has already ended (timeout(1) signals the whole process group), the folder goes.
cleanup() {
  kill "${pids[@]}" 2>/dev/null || true
  # ffmpeg ends on its next write once VLC is gone.
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 0' TERM INT

# The source: a live test pattern in H.264 (baseline, a key picture a second) and a tone, made
# by ffmpeg in real time and read by VLC from its standard input, so the stream never ends or
# restarts (a named pipe would not do: VLC may open its input twice while probing it).
run=()
if [[ $(id -u) -eq 0 ]]; then run=(setpriv --reuid=nobody --regid=nogroup --clear-groups); fi
ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=320x240:rate=25 \
  -f lavfi -i sine=frequency=1000:sample_rate=8000 -c:v libx264 -profile:v baseline -g 25 \
  -tune zerolatency -pix_fmt yuv420p -c:a pcm_s16le -ac 1 -f matroska pipe:1 \
  2>"$work/ffmpeg.log" |
  HOME="$work" "${run[@]}" cvlc -q --no-video-title-show - \
    --sout "#transcode{acodec=alaw,channels=1,samplerate=8000}:rtp{sdp=rtsp://127.0.0.1:$port/$path}" \
    --sout-keep >"$work/vlc.log" 2>&1 &
vlc_pid=$!
pids+=($vlc_pid)
# Ready once a DESCRIBE is answered with both tracks (VLC listens before it has seen the
# source's tracks and answers 500 until then, or describes the first track alone).
described() {
  exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
  printf 'DESCRIBE rtsp://127.0.0.1:%s/%s RTSP/1.0\r\nCSeq: 1\r\n\r\n' "$port" "$path" >&3
  local answer=""
  read -r -t 1 -d '' answer <&3 || true
  exec 3>&-
  [[ $answer == *" 200 "* && $answer == *"m=video"* && $answer == *"m=audio"* ]]
}
for _ in $(seq 600); do
  if described 2>/dev/null; then
    echo "listening on rtsp://127.0.0.1:$port/$path"
    wait "$vlc_pid"
    exit $?
  fi
  kill -0 "$vlc_pid" 2>/dev/null || { cat "$work/vlc.log" >&2; exit 1; }
  sleep 0.1
done
echo "VLC did not listen on port $port" >&2
cat "$work/vlc.log" >&2
exit 1
