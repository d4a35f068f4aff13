#!/usr/bin/env bash
# Builds the Debian packages with CPack from the build tree and inspects them without
# installing them on this machine: names, contents, dependencies derived by dpkg-shlibdeps;
# then unpacks them into a temporary root and builds the C example against that root with
# pkg-config alone, and runs the unpacked kvnet.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d /tmp/kvnet-deb-test-XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
lib=$(ls "$work"/packages/libkvnetclient0_*.deb)
dev=$(ls "$work"/packages/libkvnetclient-dev_*.deb)
tools=$(ls "$work"/packages/kvnetclient-tools_*.deb)

field() { dpkg-deb --field "$1" "$2"; }
# Dependencies derived from the binaries: the libraries the library and the tools link.
for d in libc6 libxcb1 libopenh264-7 libspandsp2 libxvidcore4 libturbojpeg0; do
  grep -q "$d" <(field "$lib" Depends) || fail "libkvnetclient0 does not depend on $d: $(field "$lib" Depends)"
done
for d in libavformat59 libavcodec59 "libkvnetclient0 (= "; do
  grep -q "$d" <(field "$tools" Depends) || fail "kvnetclient-tools does not depend on $d: $(field "$tools" Depends)"
done
grep -q "libkvnetclient0 (= " <(field "$dev" Depends) || fail "the -dev package does not need the library"
# Lists are written to files first: grep -q would end the pipe early.
for p in "$lib" "$dev" "$tools"; do
  dpkg-deb --contents "$p" >"$p.contents"
  dpkg-deb --info "$p" >"$p.info"
done
grep -q shlibs "$lib.info" || fail "no shlibs file"

grep -q './usr/lib/.*libKvNetClient.so.0 -> libKvNetClient.so.0.1.0' "$lib.contents" || fail "library contents"
grep -q './usr/include/KvNetClient.h' "$dev.contents" || fail "dev contents"
grep -q 'pkgconfig/kvnetclient.pc' "$dev.contents" || fail "dev contents"
grep -q './usr/share/man/man1/kvnet.1' "$tools.contents" || fail "tools contents"
grep -q './usr/bin/kvdevice' "$tools.contents" || fail "tools contents"

root="$work/root"
for p in "$lib" "$dev" "$tools"; do dpkg -x "$p" "$root"; done
pc=$(find "$root" -name kvnetclient.pc)
export PKG_CONFIG_PATH="$(dirname "$pc")"
cc -Wall -Wextra -Werror -o "$work/live_record" "$source/examples/live_record.c" \
  $(pkg-config --cflags --libs kvnetclient)
LD_LIBRARY_PATH="$(dirname "$(find "$root" -name libKvNetClient.so.0)")" "$work/live_record" \
  >"$work/usage.out" 2>&1 || true
grep -q usage "$work/usage.out" || fail "the example does not run against the unpacked library"
"$root/usr/bin/kvnet" --help >"$work/help.out"
grep -q "export FILE" "$work/help.out" || fail "the unpacked kvnet does not run"
echo "deb test: 1 passed, 0 failed"
