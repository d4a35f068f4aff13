#!/usr/bin/env bash
# Sets up, builds and runs KvReplay against the demo's own recordings (kvnet-demo-out/ in the
# current folder, made by running the demo first when it is not there). The recordings are laid
# out as a recorder lays them out, <drive>/KV_Record/<Normal|Alarm>/<day>/<name>.h264, in
# kvnet-demo-out/replay-drive, which KVREPLAY_DRIVES makes the program's only drive. Arguments
# go to the program ("CHINESE" for the Chinese interface). Without an X display it takes
# screenshots of the dialog playing a recording, in English and in Chinese, on a private Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

out="$PWD/kvnet-demo-out"
if [ ! -s "$out/demo-normal.rec" ] || [ ! -s "$out/demo-alarm.rec" ]; then
  echo "replay: no demo recordings in $out; running the demo first"
  "$root/build/tools/kvnet" demo --out "$out"
fi

drive="$out/replay-drive"
rm -rf "$drive"
# Places a recording under the day of its creation time (the search reads the day from the
# folder and the times from the file). A hard link keeps the file's own times; a copy is the
# fallback where links cannot be made.
place() {
  local file="$1" type="$2" staged created day
  staged="$drive/$type.staged"
  mkdir -p "$drive"
  ln "$file" "$staged" 2>/dev/null || cp -p "$file" "$staged"
  created="$(stat -c %W "$staged")"
  if [ -z "$created" ] || [ "$created" = "0" ] || [ "$created" = "-" ]; then
    created="$(stat -c %Z "$staged")"
  fi
  day="$(date -d "@$created" +%Y-%m-%d)"
  mkdir -p "$drive/KV_Record/$type/$day"
  # Device address 127.0.0.1, channel 1, as the search reads them from the name.
  mv "$staged" "$drive/KV_Record/$type/$day/Demo(127.0.0.1_$(date -d "@$created" +%H%M%S))_1_0.h264"
}
place "$out/demo-normal.rec" Normal
place "$out/demo-alarm.rec" Alarm
echo "replay: recordings laid out under $drive"

export KVREPLAY_DRIVES="$drive"
if [ -n "${DISPLAY:-}" ]; then
  exec "$root/build/replay/kvreplay" "$@"
fi
echo "replay: no X display here; taking screenshots on a private Xvfb instead"
"$root/build/tests/replay/kvreplay_screenshots" --drive "$drive" --out "$out"
