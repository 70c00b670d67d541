#!/bin/sh
# Regenerates the seed corpus of the BIRD loader fuzz target
# (fuzz/corpus/fuzz_birdfile/) with birdtool.
#
#   tools/birdtool/make-fuzz-corpus.sh BUILD_DIR
set -eu
cd "$(dirname "$0")/../.."
bt="$1/tools/birdtool/birdtool"
out=fuzz/corpus/fuzz_birdfile
mkdir -p "$out"
rm -f "$out"/*.bird "$out"/*.content

"$bt" create -o "$out/empty.bird"
"$bt" create -o "$out/generic.bird" --info 1234:1.2.3:00000000:MTM-IO-SERIAL \
    --serial-offsets 0x1100:0x1180 --loader 0x0:0:hex:00112233 \
    --firmware 0x1000:1:counter:512 --utf16 0x180:00000000 --descriptor 0x40:1234:2.15.3:21
"$bt" create -o "$out/device.bird" --info 77:2.0:40F5849A:MTM-ETH \
    --firmware 0x0:0:counter:64 --firmware 0x2000:2:fill:256:0xFF --loader-start 0x20000000
"$bt" create -o "$out/vector.bird" --firmware 0x0:0:hex:0100000002000000030000000400000005000000060000000700000000000000
"$bt" create -o "$out/flags.bird" --raw 0xE4:counter:64 --raw 0x21:hex:0000100001 --raw 3:hex:00 --raw 31:hex:
"$bt" create -o "$out/count-mismatch.bird" --count 3 --firmware 0:0:hex:01020304 --firmware 8:0:hex:05060708
"$bt" create -o "$out/trailing.bird" --firmware 0:0:hex:01020304 --trailing 4
"$bt" create -o "$out/runs-past.bird" --firmware 0:0:hex:01020304 --firmware 8:0:hex:0506070809 --truncate-content 25
"$bt" create -o "$out/short-blocks.bird" --raw 2:hex:0000 --raw 4:hex:31323334 --raw 1:hex:AB --raw 0:hex:
"$bt" create -o "$out/padding.bird" --firmware 0:0:fill:4000:0xFF --level 9
"$bt" create -o "$out/stored.bird" --level 0 --info 1:1:1:1 --firmware 0:0:counter:100
"$bt" create -o "$out/truncated.bird" --firmware 0:0:counter:300 --truncate-file 40

# The target also reads each input as an inflated content: seed that too.
for f in generic device flags count-mismatch trailing short-blocks; do
    "$bt" unpack -o "$out/$f.content" "$out/$f.bird"
done
ls -l "$out"

# Regression inputs: files that once read outside the content or a block, or
# that the first 8:1 buffer could not hold.
reg=fuzz/regressions/fuzz_birdfile
mkdir -p "$reg"
"$bt" create -o "$reg/regression_length_past_content.bird" --firmware 0:0:hex:01020304 \
    --firmware 8:0:hex:0506070809 --truncate-content 25
"$bt" create -o "$reg/regression_short_serial_offsets_and_info.bird" --raw 2:hex:0000 \
    --raw 4:hex:3132333435 --firmware 0x1000:0:hex:0011
"$bt" unpack -o "$reg/regression_short_serial_offsets_and_info.content" \
    "$reg/regression_short_serial_offsets_and_info.bird"
"$bt" create -o "$reg/regression_vector_block_under_32_bytes.bird" --firmware 0:0:fill:31:0x01
"$bt" create -o "$reg/regression_padding_over_8_to_1.bird" --firmware 0:0:fill:1000000:0xFF --level 9
"$bt" create -o "$reg/regression_serial_offset_past_image.bird" --serial-offsets 0x103D:0x1031 \
    --firmware 0x1000:0:fill:64:0xFF
"$bt" create -o "$reg/regression_content_ends_in_checksum.bird" --firmware 0:0:hex:01020304 \
    --truncate-content 19
# Two blocks, the second claiming 0xFFFFFFFF data bytes (content form).
printf '\000\000\000\002\001\000\000\000\010\000\000\020\000\001\002\003\004\001\377\377\377\377\011\011\000\000\000\000' \
    >"$reg/regression_length_word_ffffffff.content"
ls -l "$reg"
