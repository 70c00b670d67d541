#!/bin/bash
# End to end: Updater -U over the emulated USB bus. The module takes the
# image, reboots (its USB device goes away and comes back with the new
# firmware), and its flash then holds the image with the serial patched in.
set -u
build="${UPDATER_BUILD_DIR:?}"
src="${UPDATER_SOURCE_DIR:?}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
serial=40F5849A
store="$dir/home/updater/$serial"
mkdir -p "$store"
# The image: a pattern with a firmware descriptor at 0x100 (magic, build
# 1234, version 2.3.4, model 4) that the module recognises after its reboot.
python3 - "$dir/image.bin" <<'PY'
import struct, sys
img = bytearray((i * 7 + 3) & 0xFF for i in range(3000))
img[0x100:0x110] = struct.pack('<IIII', 0xC0DE5EED, 1234, 0x2F020304, 4)
img[0x80:0x84] = struct.pack('<I', 0xFFFFFFFF)
open(sys.argv[1], 'wb').write(img)
PY
"$build/tools/birdtool/birdtool" create -o "$store/1234.bird" --info "1234:2.3.4:$serial:CV-USB1" \
    --serial-offsets 0x00001080:0 --firmware "0x00001000:0:$dir/image.bin" >/dev/null || exit 1
cat >"$dir/sims.json" <<JSON
{"serial": "$serial", "model": 4, "version": 1, "build": 1000, "usb": true,
 "upgrade": {"flashBase": 0, "flashSize": 65536, "flashDump": "$dir/flash.bin",
             "serialAddress": 4224, "rebootMs": 1000}}
JSON
# The update, then the device list once the module is back from its reboot
# (it comes back on the bus after rebootMs: a bounded number of tries).
cat >"$dir/run.sh" <<'SH'
#!/bin/bash
set -u
dir="$1" updater="$2" serial="$3"
"$updater" -i "$dir/home" -u http://127.0.0.1:9/cgi/u -U -d "$serial" -b 1234 || exit $?
for _ in $(seq 40); do
    "$updater" -D >"$dir/list.out" 2>>"$dir/list.err"
    grep -q "^ *$serial " "$dir/list.out" && break
    sleep 0.25
done
SH
out="$(HOME="$dir/home" timeout 120 "$src/tools/with-sim-usb" --sim "$build/corvantis-sim" \
    --modules "$dir/sims.json" -- bash "$dir/run.sh" "$dir" "$build/Updater" "$serial" 2>"$dir/err")"
status=$?
fail() { echo "FAIL: $*"; echo "--- output"; echo "$out"; echo "--- errors"; cat "$dir/err"; exit 1; }
[ "$status" = 0 ] || fail "exit status $status"
python3 - "$dir/flash.bin" "$dir/image.bin" <<'PY' || fail "the flash does not hold the patched image"
import struct, sys
flash = open(sys.argv[1], 'rb').read()
img = bytearray(open(sys.argv[2], 'rb').read())
img[0x80:0x84] = struct.pack('<I', 0x40F5849A)
sys.exit(0 if flash[0x1000:0x1000 + len(img)] == bytes(img) else 1)
PY
out="$(cat "$dir/list.out" 2>/dev/null)"
echo "$out" | grep -Eq "^ +$serial +02 +02 +CV-USB1 +2\.3\.4 \(1234\)$" ||
    fail "the device list does not show the new build"
echo "PASS"
