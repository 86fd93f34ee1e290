#!/bin/sh
# Runs every fuzz target of a KESTRINE_FUZZ build in two rounds, over seeds
# that come from the repository alone: captures written by kestrine_gen, the
# bundled samples and the regression inputs (and the shared corpus of real
# captures, when it is there).
#
# 1. The gate: a fixed number of executions from a fixed random seed, so
#    that the same commit fuzzes the same inputs on every run. A finding
#    here fails the run: the fault is in the code, not in the draw.
# 2. The search: SECONDS per target from a random seed. Its findings are
#    saved in BUILD/fuzz-artifacts/search/ and reported in
#    BUILD/fuzz-artifacts/REPORT, and do not fail the run: a draw that only
#    this run made is a lead to turn into a regression input, not a verdict
#    on the change under test.
#
#   sh fuzz/run.sh BUILD [SECONDS]
#   FUZZ_GATE_SEED=1 FUZZ_GATE_SCALE=1 (executions of the gate, times each
#   target's count below)
set -eu
build=$1
seconds=${2:-60}
gate_seed=${FUZZ_GATE_SEED:-1}
gate_scale=${FUZZ_GATE_SCALE:-1}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
shared=${KESTRINE_SHARED_CAPTURES:-$source_dir/../shared/captures}
work=$build/fuzz-work
artifacts=$build/fuzz-artifacts
# Every run starts from the seeds alone, so that the gate is the same run
# each time.
rm -rf "$work/seeds" "$work/corpus" "$artifacts"
mkdir -p "$work/seeds/capture" "$work/seeds/frame" "$artifacts/gate" "$artifacts/search"

# Whole-capture seeds: small generated captures of every link type.
for link in radiotap bare prism ppi; do
    for seed in 1 2 3; do
        "$build/kestrine_gen" --link $link --small --records 12 --seed $seed \
            "$work/seeds/capture/gen-$link-$seed.pcap" >/dev/null
    done
    "$build/kestrine_gen" --link $link --records 40 --seed 7 "$work/seeds/capture/gen-$link-big.pcap" >/dev/null
    # Every kind of record full decoding treats apart (the fuzz target
    # takes the mode from the low bit of the input's last byte).
    for seed in 1 2; do
        "$build/kestrine_gen" --full-decode-mix --link $link --records 60 --seed $seed \
            "$work/seeds/capture/gen-$link-mix-$seed.pcap" >/dev/null
    done
done
cp "$source_dir"/samples/*.pcap "$work/seeds/capture/"
cp "$source_dir"/tests/regressions/capture/* "$work/seeds/capture/"
real=""
if [ -d "$shared" ]; then
    for capture in "$shared"/*.pcap "$shared"/*.cap "$shared"/*.pcapng; do
        [ -f "$capture" ] || continue
        real="$real $capture"
        # Whole files larger than the size limit below are cut by libFuzzer;
        # their first 64 KiB are as good a seed as any.
        cp "$capture" "$work/seeds/capture/"
    done
fi

# Single-record seeds: the records of all of the above.
# shellcheck disable=SC2086
"$build/fuzz/kestrine_fuzz_seeds" "$work/seeds/frame" "$work"/seeds/capture/*.pcap $real
cp "$source_dir"/tests/regressions/frame/* "$work/seeds/frame/"

total=0
# The decrypting target starts from the same captures and from encrypted
# ones whose keys it holds.
mkdir -p "$work/seeds/decrypt"
cp "$work"/seeds/capture/* "$work/seeds/decrypt/"
# WPA3-SAE and GCMP networks whose keys the target holds.
for capture in "$shared"/modern-keyed/*.pcapng; do
    if [ -f "$capture" ]; then cp "$capture" "$work/seeds/decrypt/"; fi
done
for cipher in ccmp tkip; do
    "$build/kestrine_gen" --encrypt $cipher --passphrase "correct horse" --ssid kestrine-lab --stations 2 \
        --small --records 40 --seed 3 "$work/seeds/decrypt/gen-$cipher.pcap" >/dev/null
done
"$build/kestrine_gen" --encrypt wep --wep-key 0a0b0c0d0e --small --records 20 --seed 3 \
    "$work/seeds/decrypt/gen-wep.pcap" >/dev/null
# The newer suites, under keys the target holds: SAE and Suite B 192 by
# PMK, OWE over group 20, Extended Key ID with group key handshakes.
sae_pmk=ecbfe709d6151eaba6a4fd9cba94fbb570c1fc4c15506fad3185b4a0a0cfda9a
pmk_48=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f
"$build/kestrine_gen" --encrypt gcmp --akm 8 --pmk $sae_pmk --small --records 40 --seed 3 \
    "$work/seeds/decrypt/gen-sae.pcap" >/dev/null
"$build/kestrine_gen" --encrypt gcmp256 --akm 12 --pmk $pmk_48 --small --records 40 --seed 3 \
    "$work/seeds/decrypt/gen-suite-b.pcap" >/dev/null
"$build/kestrine_gen" --encrypt ccmp --akm 18 --owe-group 20 --pmk $pmk_48 --small --records 40 --seed 3 \
    "$work/seeds/decrypt/gen-owe.pcap" >/dev/null
"$build/kestrine_gen" --encrypt ccmp256 --extended-key-id --group-handshake --passphrase "correct horse" \
    --ssid kestrine-lab --small --records 40 --seed 3 "$work/seeds/decrypt/gen-extended-key-id.pcap" >/dev/null
# WPA1 networks of both descriptor versions, long enough for a group rekey.
for cipher in tkip ccmp; do
    "$build/kestrine_gen" --encrypt $cipher --wpa1 --passphrase "correct horse" --ssid kestrine-lab \
        --small --records 260 --seed 3 "$work/seeds/decrypt/gen-wpa1-$cipher.pcap" >/dev/null
done
# Wi-Fi 7 multi-link networks, long enough for a group rekey: two links
# under a passphrase, three under SAE-EXT-KEY over group 20 by its PMK.
"$build/kestrine_gen" --encrypt ccmp --mlo-links 2 --passphrase "correct horse" --ssid kestrine-lab \
    --small --records 180 --seed 3 "$work/seeds/decrypt/gen-mlo2.pcap" >/dev/null
"$build/kestrine_gen" --encrypt gcmp256 --mlo-links 3 --akm 24 --sae-group 20 --pmk $pmk_48 --mlo-rekey-link-kdes \
    --small --records 180 --seed 3 "$work/seeds/decrypt/gen-mlo3.pcap" >/dev/null
# FT-PSK with a roam over the air, and a TDLS setup with its direct link.
"$build/kestrine_gen" --encrypt ccmp --ft --stations 2 --passphrase "correct horse" --ssid kestrine-lab \
    --small --records 172 --seed 3 "$work/seeds/decrypt/gen-ft.pcap" >/dev/null
"$build/kestrine_gen" --encrypt ccmp --tdls --passphrase "correct horse" --ssid kestrine-lab \
    --small --records 40 --seed 3 "$work/seeds/decrypt/gen-tdls.pcap" >/dev/null
"$build/kestrine_gen" --encrypt ccmp --passphrase "correct horse" --ssid kestrine-lab --full-decode-mix \
    --records 80 --seed 3 "$work/seeds/decrypt/gen-ccmp-mix.pcap" >/dev/null

# Executions of each target's gate: about 30 s of this machine each (the
# frame target runs some 60,000 inputs a second, the capture target 25,000,
# the decrypting one 1,000).
gate_runs() {
    case $1 in
    frame) echo $((2000000 * gate_scale)) ;;
    capture) echo $((800000 * gate_scale)) ;;
    decrypt) echo $((30000 * gate_scale)) ;;
    esac
}

# fuzz TARGET ROUND OPTIONS...: one libFuzzer run; its status is libFuzzer's.
fuzz() {
    target=$1
    round=$2
    shift 2
    max_len=65536
    [ "$target" = frame ] && max_len=8192
    mkdir -p "$work/corpus/$round/$target"
    "$build/fuzz/fuzz_$target" "$@" -max_len=$max_len -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$round/fuzz_$target-" \
        "$work/corpus/$round/$target" "$work/seeds/$target" >"$work/fuzz_$target.$round.log" 2>&1
}

executions() { sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz_$1.$2.log"; }

total=0
for target in frame capture decrypt; do
    runs=$(gate_runs $target)
    echo "fuzz_$target: gate, $runs executions from seed $gate_seed"
    if ! fuzz $target gate -seed="$gate_seed" -runs="$runs"; then
        tail -n 60 "$work/fuzz_$target.gate.log"
        echo "fuzz_$target: FOUND A FAULT with seed $gate_seed; input in $artifacts/gate/" >&2
        exit 1
    fi
    total=$((total + $(executions $target gate)))
done
echo "fuzz: gate passed, $total executions, no finding"

report=$artifacts/REPORT
: >"$report"
for target in frame capture decrypt; do
    echo "fuzz_$target: search, $seconds s from a random seed"
    if fuzz $target search -max_total_time="$seconds"; then
        echo "fuzz_$target: $(executions $target search) executions, no finding"
    else
        seed=$(sed -n 's/^INFO: Seed: //p' "$work/fuzz_$target.search.log")
        cp "$work/fuzz_$target.search.log" "$artifacts/search/"
        {
            echo "fuzz_$target: the search from seed $seed found a fault:"
            grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$work/fuzz_$target.search.log" || true
        } | tee -a "$report"
    fi
done
if [ -s "$report" ]; then
    echo "fuzz: the search found faults (not gating); inputs and logs in $artifacts/search/, summary in $report" >&2
else
    echo "fuzz: the search found nothing"
fi
