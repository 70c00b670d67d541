#!/bin/bash
# End to end: the Updater binary lists simulated modules on the emulated USB
# bus (tools/with-sim-usb), and only the family's: a foreign vendor and a
# product with bit 15 set stay out of the list. A module that another
# process holds is listed with the error line, and normally again once that
# process lets it go.
#
#   updater_usb_discover.sh USB_HOLD_MODULE
set -u
hold="${1:?usage: updater_usb_discover.sh USB_HOLD_MODULE}"
build="${UPDATER_BUILD_DIR:?}"
src="${UPDATER_SOURCE_DIR:?}"
dir="$(mktemp -d)"
trap '[ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
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

# 0A1B2C3D held by another program (it claims the interface) during one -D,
# then released before the next.
cat >"$dir/held.sh" <<'SH'
#!/bin/bash
set -u
dir="$1" hold="$2" updater="$3"
mkfifo "$dir/hold_in"
"$hold" 0A1B2C3D <"$dir/hold_in" >"$dir/hold_out" 2>&1 &
exec 4>"$dir/hold_in"
for _ in $(seq 100); do grep -q '^held' "$dir/hold_out" && break; sleep 0.1; done
grep -q '^held' "$dir/hold_out" || { echo "holder did not hold:"; cat "$dir/hold_out"; exit 3; }
"$updater" -D >"$dir/held.out" || exit 4
exec 4>&-
wait || { echo "holder failed:"; cat "$dir/hold_out"; exit 5; }
"$updater" -D >"$dir/released.out"
SH
HOME="$dir" timeout 60 "$src/tools/with-sim-usb" --sim "$build/corvantis-sim" \
    --modules "$dir/sims.json" -- bash "$dir/held.sh" "$dir" "$hold" "$build/Updater" >"$dir/held.log" 2>>"$dir/err"
status=$?
out="$(cat "$dir/held.log" "$dir/held.out" 2>/dev/null)"
[ "$status" = 0 ] || fail "held run: exit status $status"
grep -Eq '^ +0A1B2C3D +\[Error \([0-9]+\): Is someone else connected to this device\?\]$' "$dir/held.out" ||
    fail "the held module has no error line"
grep -Eq '^ +40F5849A +02 +02 +CV-USB1 +2\.11\.5 \(1234\)' "$dir/held.out" || fail "40F5849A not listed beside the held one"
out="$(cat "$dir/released.out")"
echo "$out" | grep -Eq '^ +0A1B2C3D +02 +02 ' || fail "0A1B2C3D not listed after its release"
echo "PASS"
