#!/bin/bash
# Runs every example of the README (its ```sh blocks) and of the man page
# (its .EX/.EE blocks) as written, with the built kestrine first on PATH, in
# a folder that holds the files they name:
#   wlan.pcap      the bundled radiotap sample
#   wlan.pcapng    the same capture as pcapng (written with editcap)
#   captures/      captures of the four link types, written by kestrine_gen
# Each block must exit 0 under `set -e -o pipefail` and print no error; then
# the files the examples wrote must equal what kestrine itself makes of the
# inputs, and the pipelines must have shown every converted record.
#
# One substitution: a test cannot capture from a wireless interface, so
# "tcpdump -i wlan0mon -w -" (with or without -U) is replaced by
# "cat wlan.pcap"; the rest of that pipeline runs as written.
#
#   readme_examples_test.sh SOURCE_DIR KESTRINE KESTRINE_GEN
# Exits 77 (skipped) when a tool the examples use is not installed.
set -eu -o pipefail
source_dir=$1
kestrine=$(realpath "$2")
kestrine_gen=$(realpath "$3")

missing=""
for tool in tcpdump tshark editcap xargs nproc; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    echo "not installed:$missing (CI: sh tools/deps.sh groff-base dpkg-dev tshark)"
    exit 77
fi

. "$(dirname "$0")/check_lib.sh"
work=$scratch/work
reference=$scratch/reference
mkdir -p "$work/captures" "$reference/captures" "$scratch/bin" "$scratch/blocks"
ln -s "$kestrine" "$scratch/bin/kestrine"
export PATH="$scratch/bin:$PATH"

# The inputs the examples name.
cp "$source_dir/samples/sample-radiotap.pcap" "$work/wlan.pcap"
editcap -F pcapng "$work/wlan.pcap" "$work/wlan.pcapng"
seed=1
for link in radiotap bare prism ppi; do
    "$kestrine_gen" --link "$link" --records 300 --seed "$seed" "$work/captures/$link.pcap" >/dev/null
    seed=$((seed + 1))
done
cp "$source_dir/samples/sample-80211.pcap" "$work/captures/"

# What kestrine makes of them, run directly: the reference.
"$kestrine" "$work/wlan.pcap" "$reference/ethernet.pcap" >"$reference/summary"
for capture in "$work"/captures/*.pcap; do
    "$kestrine" "$capture" "$reference/captures/${capture##*/}" >/dev/null
done
converted=$(sed -n 's/^Converted \([0-9]*\) packets\.$/\1/p' "$reference/summary")
[ "${converted:-0}" -gt 0 ] || { echo "FAIL: the sample converts nothing: $(cat "$reference/summary")"; exit 1; }

# The README's ```sh blocks, one file each.
awk -v dir="$scratch/blocks" '
    /^```sh$/ { n++; file = sprintf("%s/readme-%02d.sh", dir, n); inside = 1; next }
    /^```/ && inside { inside = 0; close(file); next }
    inside { print > file }
' "$source_dir/README.md"
# The man page's .EX/.EE blocks, unescaped to what a reader types.
awk -v dir="$scratch/blocks" '
    /^\.EX$/ { n++; file = sprintf("%s/man-%02d.sh", dir, n); inside = 1; next }
    /^\.EE$/ { inside = 0; close(file); next }
    inside {
        gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\e/, "\\")
        print > file
    }
' "$source_dir/doc/kestrine.1"

readme_blocks=$(ls "$scratch"/blocks/readme-*.sh 2>/dev/null | wc -l)
man_blocks=$(ls "$scratch"/blocks/man-*.sh 2>/dev/null | wc -l)
[ "$readme_blocks" -ge 6 ] || fail "only $readme_blocks sh blocks found in README.md"
[ "$man_blocks" -ge 5 ] || fail "only $man_blocks examples found in the man page"

live_capture='tcpdump \(-U \)\{0,1\}-i wlan0mon -w -'
for block in "$scratch"/blocks/*.sh; do
    name=${block##*/}
    grep -q -- "$live_capture" "$block" && sed -i "s/$live_capture/cat wlan.pcap/" "$block"
    # What an example writes is removed first, so that it is checked as
    # written by that example; the checking examples read what an earlier
    # one wrote.
    grep -q '^kestrine .* ethernet\.pcap$' "$block" && rm -f "$work/ethernet.pcap"
    grep -q 'xargs' "$block" && rm -rf "$work/ethernet"
    if ! (cd "$work" && bash -e -o pipefail "$block") >"$scratch/$name.out" 2>"$scratch/$name.err"; then
        fail "$name exited non-zero:"
        sed 's/^/    /' "$block" "$scratch/$name.err"
        continue
    fi
    if grep -E 'Unable to|warning: the input|Error calculating|[Ee]rror:' "$scratch/$name.err"; then
        fail "$name printed an error"
    fi

    # What each kind of example must have done.
    if grep -q '^kestrine .* ethernet\.pcap$' "$block"; then
        cmp -s "$work/ethernet.pcap" "$reference/ethernet.pcap" ||
            fail "$name: ethernet.pcap differs from kestrine's own conversion of wlan.pcap"
        cmp -s "$scratch/$name.out" "$reference/summary" ||
            fail "$name: printed \"$(cat "$scratch/$name.out")\", not the summary"
    fi
    if grep -q 'xargs' "$block"; then
        for capture in "$reference"/captures/*.pcap; do
            cmp -s "$work/ethernet/${capture##*/}" "$capture" ||
                fail "$name: ethernet/${capture##*/} differs from kestrine's own conversion"
        done
        [ "$(grep -c '^Converted' "$scratch/$name.out")" -eq "$(ls "$work"/captures/*.pcap | wc -l)" ] ||
            fail "$name: not one summary per capture: $(cat "$scratch/$name.out")"
    fi
    if grep -q 'kestrine - - | tcpdump' "$block"; then
        # tcpdump prints one line per record; kestrine's summary went to
        # standard error, not into the capture stream.
        shown=$(grep -c '^[0-9][0-9]:[0-9][0-9]:' "$scratch/$name.out" || true)
        [ "$shown" -eq "$converted" ] || fail "$name: tcpdump showed $shown records, kestrine converted $converted"
        # tcpdump writes its "reading from file" line in pieces, so the
        # summary may land inside it: looked for anywhere, not as a line.
        grep -qF "Converted $converted packets." "$scratch/$name.err" ||
            fail "$name: no summary on standard error"
    fi
    if grep -q 'kestrine wlan.pcap - | tshark' "$block"; then
        grep -q 'Ethernet Conversations' "$scratch/$name.out" || fail "$name: tshark showed no conversations"
    fi
    if grep -q 'tshark -r ethernet.pcap' "$block"; then
        grep -q '^ *eth ' "$scratch/$name.out" || fail "$name: tshark found no Ethernet in the result"
    fi
    echo "ok: $name ($(head -n 1 "$block"))"
done

finish "README: $readme_blocks examples, man page: $man_blocks examples, all ran as written"
