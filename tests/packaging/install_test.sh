#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and uses it as a new user would: the files are
# where GNUInstallDirs puts them, the library exports exactly the header's 48 functions, both
# examples build with pkg-config and with find_package, the C example records from kvdevice on
# loopback and the C++ example replays that recording and saves a snapshot.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d /tmp/kvnet-install-test-XXXXXX)"
device_pid=""
cleanup() {
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# The files, under their GNUInstallDirs paths; no static archive.
for f in include/KvNetClient.h lib/libKvNetClient.so lib/libKvNetClient.so.0 \
         lib/pkgconfig/kvnetclient.pc lib/cmake/KvNetClient/KvNetClientConfig.cmake \
         lib/cmake/KvNetClient/KvNetClientConfigVersion.cmake bin/kvnet bin/kvdevice \
         share/man/man1/kvnet.1 share/man/man1/kvdevice.1; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
[ "$(readlink "$prefix/lib/libKvNetClient.so")" = libKvNetClient.so.0 ] || fail "bad link .so"
real="$(readlink -f "$prefix/lib/libKvNetClient.so.0")"
[[ "$real" == */libKvNetClient.so.0.* ]] || fail "libKvNetClient.so.0 is not versioned"
objdump -p "$real" >"$work/objdump"
grep -q 'SONAME *libKvNetClient.so.0$' "$work/objdump" || fail "SONAME"
[ -z "$(find "$prefix" -name '*.a')" ] || fail "static archives installed"

# Exactly the functions the header declares are exported.
nm -D --defined-only "$real" | awk '{print $3}' | sort >"$work/exports"
grep -o 'KVNET_[A-Za-z0-9]*(' "$prefix/include/KvNetClient.h" | tr -d '(' | sort -u >"$work/declared"
[ "$(wc -l <"$work/exports")" -eq 48 ] || fail "$(wc -l <"$work/exports") exports, not 48"
diff "$work/declared" "$work/exports" >&2 || fail "exports differ from the header"

# The manual pages render without warnings.
for page in kvnet kvdevice; do
  out="$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/$page.1" 2>&1 >/dev/null)"
  [ -z "$out" ] || fail "man $page: $out"
done

# Both examples with pkg-config alone...
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cd "$work"
cc -Wall -Wextra -Werror -o live_record "$source/examples/live_record.c" \
  $(pkg-config --cflags --libs kvnetclient)
c++ -Wall -Wextra -Werror -std=c++17 -o replay_snapshot "$source/examples/replay_snapshot.cpp" \
  $(pkg-config --cflags --libs kvnetclient)
# ...and with CMake's find_package.
unset PKG_CONFIG_PATH
cmake -S "$source/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
[ -x "$work/cmake-build/live_record" ] && [ -x "$work/cmake-build/replay_snapshot" ] ||
  fail "find_package build"

# The C example against the installed simulator on loopback: events and a recording.
export LD_LIBRARY_PATH="$prefix/lib" KVNET_AUDIO_OUT=null
unset DISPLAY
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$prefix/bin/kvdevice" --target "127.0.0.1:$port" --duration 60 --quiet >/dev/null &
device_pid=$!
timeout 60 ./live_record "udp://127.0.0.1:$port" 2 "$work/rec/live.rec" >"$work/live.out" 2>&1 ||
  { cat "$work/live.out" >&2; fail "live_record"; }
kill "$device_pid"; wait "$device_pid" 2>/dev/null || true; device_pid=""
for line in "event: LINK_CONNECTED" "event: REC_STARTED" "event: REC_STOPPED" "recorded $work/rec/live.rec"; do
  grep -q "$line" "$work/live.out" || { cat "$work/live.out" >&2; fail "no '$line'"; }
done
grep -Eq 'status: .* [1-9][0-9]* kbit/s' "$work/live.out" || fail "no bit rate"
[ "$(tail -c 8 "$work/rec/live.rec")" = ENDINDEX ] || fail "the recording has no index"

# The C++ example (CMake build) replays it and saves a snapshot that ffprobe reads.
timeout 90 "$work/cmake-build/replay_snapshot" "$work/rec/live.rec" "$work/shots/first.jpg" \
  >"$work/replay.out" 2>&1 || { cat "$work/replay.out" >&2; fail "replay_snapshot"; }
grep -q "replay: end of file" "$work/replay.out" || fail "no end of file"
[ "$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$work/shots/first.jpg")" = "mjpeg,352,288" ] ||
  fail "the snapshot is not a 352x288 JPEG"
echo "install test: 1 passed, 0 failed"
