#!/bin/bash
# End to end: the Updater binary lists simulated modules on the emulated USB
# bus (tools/with-sim-usb), and only the family's: a foreign vendor and a
# product with bit 15 set stay out of the list.
set -u
build="${UPDATER_BUILD_DIR:?}"
src="${UPDATER_SOURCE_DIR:?}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cat >"$dir/sims.json" <<'JSON'
{"modules": [
  {"serial": "40F5849A", "model": 4, "build": 1234, "usb": true},
  {"serial": "0A1B2C3D", "model": 19, "usb": {"maxPacket": 512}},
  {"serial": "11111111", "usb": {"vendor": "0x1234"}},
  {"serial": "22222222", "usb": {"product": "0x8001"}}
]}
JSON
out="$(HOME="$dir" timeout 60 "$src/tools/with-sim-usb" --sim "$build/corvantis-sim" \
    --modules "$dir/sims.json" -- "$build/Updater" -D 2>"$dir/err")"
status=$?
fail() { echo "FAIL: $*"; echo "--- output"; echo "$out"; echo "--- errors"; cat "$dir/err"; exit 1; }
[ "$status" = 0 ] || fail "exit status $status"
echo "$out" | grep -Eq '^ +40F5849A +02 +02 +CV-USB1 +2\.11\.5 \(1234\)' || fail "40F5849A not listed"
echo "$out" | grep -Eq '^ +0A1B2C3D +02 +02 ' || fail "0A1B2C3D not listed"
echo "$out" | grep -q '11111111' && fail "a foreign vendor was listed"
echo "$out" | grep -q '22222222' && fail "product 0x8001 was listed"
echo "PASS"
