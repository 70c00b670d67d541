#!/bin/bash
# Time of `Updater -D -t USB` over the emulated USB bus with 1, 4 and 8
# simulated modules (five runs each, the median), and from it the cost of one
# module: (median(8) - median(1)) / 7, the connection, build, version and
# address queries of one module with the process start-up left out.
#
#   tools/netns-run bench/discover_usb.sh [BUILD]     (BUILD defaults to build)
#
# Run it inside a network namespace, as anything that starts the Updater.
set -u
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
runs=5
cat >"$dir/time.sh" <<'SH'
#!/bin/bash
# Inside with-sim-usb: five timed runs, one time in milliseconds per line.
for _ in $(seq "$2"); do
    start=$(date +%s%N)
    HOME="$3" "$1" -D -t USB >/dev/null 2>&1
    echo $(( ($(date +%s%N) - start) / 1000000 ))
done
SH
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
declare -A ms
for n in 1 4 8; do
    {
        printf '{"modules": ['
        for i in $(seq "$n"); do
            [ "$i" -gt 1 ] && printf ','
            printf '{"serial": "%08X", "model": 4, "usb": true}' $((0x40F58490 + i))
        done
        printf ']}\n'
    } >"$dir/sims$n.json"
    ms[$n]=$("$here/tools/with-sim-usb" --sim "$build/corvantis-sim" --modules "$dir/sims$n.json" \
        -- bash "$dir/time.sh" "$build/Updater" "$runs" "$dir" 2>/dev/null | median)
    echo "modules=$n  median -D time ${ms[$n]} ms"
done
echo "per module: $(( (ms[8] - ms[1]) / 7 )) ms"
