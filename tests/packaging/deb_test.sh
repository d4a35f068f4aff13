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
  field "$lib" Depends | grep -q "$d" || fail "libkvnetclient0 does not depend on $d: $(field "$lib" Depends)"
done
for d in libavformat59 libavcodec59 "libkvnetclient0 (= "; do
  field "$tools" Depends | grep -q "$d" || fail "kvnetclient-tools does not depend on $d: $(field "$tools" Depends)"
done
field "$dev" Depends | grep -q "libkvnetclient0 (= " || fail "the -dev package does not need the library"
dpkg-deb --info "$lib" | grep -q shlibs || fail "no shlibs file"

dpkg-deb --contents "$lib" | grep -q './usr/lib/.*libKvNetClient.so.0$' || fail "library contents"
dpkg-deb --contents "$dev" | grep -q './usr/include/KvNetClient.h' || fail "dev contents"
dpkg-deb --contents "$dev" | grep -q 'pkgconfig/kvnetclient.pc' || fail "dev contents"
dpkg-deb --contents "$tools" | grep -q './usr/share/man/man1/kvnet.1' || fail "tools contents"
dpkg-deb --contents "$tools" | grep -q './usr/bin/kvdevice' || fail "tools contents"

root="$work/root"
for p in "$lib" "$dev" "$tools"; do dpkg -x "$p" "$root"; done
pc=$(find "$root" -name kvnetclient.pc)
export PKG_CONFIG_PATH="$(dirname "$pc")"
cc -Wall -Wextra -Werror -o "$work/live_record" "$source/examples/live_record.c" \
  $(pkg-config --cflags --libs kvnetclient)
LD_LIBRARY_PATH="$(dirname "$(find "$root" -name libKvNetClient.so.0)")" "$work/live_record" \
  2>&1 | grep -q usage || fail "the example does not run against the unpacked library"
"$root/usr/bin/kvnet" --help | grep -q "export FILE" || fail "the unpacked kvnet does not run"
echo "deb test: 1 passed, 0 failed"
