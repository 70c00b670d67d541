#!/bin/sh
# An update through a router, end to end: the router module is reached over
# TCP/IP, the module behind it is found by the network scan (no module
# address given), updated without waiting for a link drop (the router's link
# stays up), and listed with its new build afterwards. The module's flash must
# equal the image with its serial number patched in.
#
#   routed_update.sh BUILD_DIR      (inside a namespace with the multicast veth)
set -eu
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/routed-update-XXXXXX")
sim_pid=""
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    [ -z "$sim_pid" ] || wait "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

bt="$build/tools/birdtool/birdtool"
"$bt" create -o "$work/img.bird" --info 1240:2.11.7:00000000:CV-USB1 \
    --serial-offsets 0x8200:0 --firmware 0x8000:0:counter:4096 \
    --descriptor 0x100:1240:0x2F020B07:4 >/dev/null
"$bt" create -o "$work/expected.bird" --content-out "$work/expected.content" \
    --firmware 0x8000:0:counter:4096 --descriptor 0x100:1240:0x2F020B07:4 \
    --patch 0x200:9A84F540 >/dev/null
# Content: block count (4), block header (5), load address (4), the image.
dd if="$work/expected.content" of="$work/expected.img" bs=1 skip=13 count=4096 2>/dev/null

cat >"$work/sim.json" <<JSON
{"modules": [{"serial": "D272031D", "model": 20, "address": 2,
  "tcp": "10.99.0.1:0", "discovery": true,
  "network": [{"serial": "40F5849A", "model": 4, "address": 4,
               "version": "0x2F020B05", "build": 1000,
               "upgrade": {"serialAddress": "0x8200", "flashDump": "$work/flash.bin"}}]}]}
JSON
"$build/corvantis-sim" --config "$work/sim.json" --max-runtime 60 >"$work/sim.out" &
sim_pid=$!
i=0
until grep -q '^ready' "$work/sim.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -le 200 ] || fail "simulator not ready"; sleep 0.05
done

"$build/Updater" -i "$work/store" -U -d 40F5849A -r D272031D -f "$work/img.bird" \
    >"$work/update.out" 2>&1 || { cat "$work/update.out"; fail "update exited $?"; }
grep -q "Transferred 1 blocks, 4100 total bytes" "$work/update.out" || fail "no transfer line"
grep -q "Update time: " "$work/update.out" || fail "no update time"
dd if="$work/flash.bin" bs=4096 skip=8 count=1 2>/dev/null | cmp -s - "$work/expected.img" ||
    fail "flash differs from the serial-patched image"
grep -q "LATEST_TRANSFER=$work/img.bird" "$work/store/updater/40F5849A/.settings" ||
    fail "transfer not recorded in the module's store directory"

"$build/Updater" -i "$work/store" -D -r D272031D -t TCP >"$work/list.out" 2>&1
grep -q "    40F5849A  04       04      CV-USB1        2.11.7 (1240) \[10.99.0.1\]" "$work/list.out" ||
    { cat "$work/list.out"; fail "the module does not list its new build"; }
echo "routed update: ok"
