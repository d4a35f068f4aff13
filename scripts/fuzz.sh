#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (and ASan+UBSan over the whole library), makes
# seed inputs (streams from ffmpeg, datagrams from the device simulator, recordings from the
# demo), and runs every target for FUZZ_SECONDS (default 120) each, or for FUZZ_RUNS inputs
# each when that is set. Prints each target's inputs run and rate. Findings are left in
# build-fuzz/findings/<target>/. Usage: scripts/fuzz.sh [target ...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-120}"
runs="${FUZZ_RUNS:-}"
"$root/scripts/setup.sh"
missing=()
for tool in clang clang++ python3 ffmpeg; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update
  $sudo apt-get install -y clang python3 ffmpeg
fi

# The plain build provides the device simulator and the demo for the seeds.
"$root/scripts/build.sh" "$root/build"
out="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVNET_BUILD_FUZZ=ON -DKVNET_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$out" -j"$(nproc)" --target decoders_fuzz udp_datagram_fuzz replay_open_fuzz \
  rtsp_answer_fuzz rtp_depacketizers_fuzz interleaved_fuzz \
  record_readers_fuzz mctp_replies_fuzz event_stream_fuzz talk_downlink_fuzz

seeds="$out/seeds"
mkdir -p "$seeds"/{decoders,udp_datagram,replay_open,record_readers,mctp_replies,event_stream,talk_downlink}
python3 "$root/scripts/fuzz_seeds.py" "$root/build" "$seeds"

targets=("$@")
((${#targets[@]})) ||
  targets=(decoders udp_datagram record_readers replay_open mctp_replies event_stream talk_downlink
    rtsp_answer rtp_depacketizers interleaved)
for target in "${targets[@]}"; do
  corpus="$out/corpus/$target"
  findings="$out/findings/$target"
  mkdir -p "$corpus" "$findings"
  cp -n "$seeds/$target"/* "$corpus"/ 2>/dev/null || true
  if [[ -n "$runs" ]]; then
    limit=(-runs="$runs")
    echo "== $target for $runs inputs"
  else
    limit=(-max_total_time="$seconds")
    echo "== $target for $seconds s"
  fi
  (cd "$findings" &&
    LSAN_OPTIONS=suppressions="$root/fuzz/lsan.supp" "$out/fuzz/${target}_fuzz" "${limit[@]}" \
      -max_len=65536 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 "$corpus" 2>"$findings/log" || true)
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)|^==[0-9]+==ERROR|LeakSanitizer" \
    "$findings/log" || true
  ls "$findings" | grep -E "^(crash|leak|timeout|oom)-" || echo "$target: no findings"
done
