#!/bin/sh
# The man page renders without a warning, the built page carries the
# program's own version, and every line the program prints about its run
# (banner, failures, refusals, warning) is documented in it word for word.
#
#   man_page_test.sh SOURCE_PAGE BUILT_PAGE KESTRINE
# Exits 77 (skipped) when groff is not installed.
set -eu
source_page=$1
built_page=$2
kestrine=$3

command -v groff >/dev/null 2>&1 || { echo "groff is not installed (Debian: groff-base)"; exit 77; }

. "$(dirname "$0")/check_lib.sh"

for page in "$source_page" "$built_page"; do
    for preprocess in "" "-t"; do
        # shellcheck disable=SC2086 # $preprocess is one flag or none
        if ! groff $preprocess -ww -man -z "$page" >"$scratch/groff.out" 2>&1 || [ -s "$scratch/groff.out" ]; then
            fail "groff $preprocess -ww -man -z $page is not silent:"
            cat "$scratch/groff.out"
        fi
    done
done

# The page in the source tree is read as it stands (man ./doc/kestrine.1).
if grep -n '@[A-Z_]*@' "$source_page" "$built_page"; then
    fail "the built page still holds a placeholder"
fi

# The page as plain text, one paragraph line per output line (a line
# length no paragraph reaches), so that messages are not wrapped.
groff -t -man -Tascii -rLL=2000n -P-cbou "$built_page" 2>/dev/null >"$scratch/page.txt"

documented() {
    if ! grep -qF -- "$1" "$scratch/page.txt"; then
        fail "not in the man page: \"$1\""
    fi
}

# The banner: the program's four lines, its version among them.
"$kestrine" >"$scratch/banner" 2>&1 && fail "the banner run exited 0"
version=$(sed -n '1s/^kestrine \([^ ]*\) - .*/\1/p' "$scratch/banner")
[ -n "$version" ] || fail "no version in the banner: $(head -n 1 "$scratch/banner")"
while IFS= read -r line; do
    [ -z "$line" ] || documented "$line"
done <"$scratch/banner"
grep -q "^\.ds Vn $version\$" "$source_page" || fail "the source page does not state version $version"
# The page's footer names the same version.
grep -q "^kestrine $version  *[0-9-]*  *KESTRINE(1)\$" "$scratch/page.txt" ||
    fail "the page's footer does not name kestrine $version: $(tail -n 1 "$scratch/page.txt")"

# The messages of failures, as the program prints them, up to the reason.
"$kestrine" "$scratch/missing.pcap" "$scratch/out.pcap" 2>"$scratch/err" && fail "a missing input exited 0"
documented "$(sed 's/: .*//' "$scratch/err")"

# The messages named in the source, so that a new one cannot go undocumented.
source_dir=$(dirname "$source_page")/..
grep -rho --include='*.cpp' '"Unable to [^"]*"' "$source_dir"/src | tr -d '"' | sort -u |
    while IFS= read -r message; do
        grep -qF -- "$message" "$scratch/page.txt" || echo "$message"
    done >"$scratch/undocumented"
if [ -s "$scratch/undocumented" ]; then
    fail "messages of the program missing from the page: $(cat "$scratch/undocumented")"
fi
# The refusals of the command line and of KEYs, each a literal in the source.
{
    grep -ho 'refuse("[^"]*")' "$source_dir"/src/program/command_line.cpp | sed 's/^refuse("\(.*\)")$/kestrine: \1/'
    grep -ho 'error = "[^"]*"' "$source_dir"/src/decrypt/keys.cpp | sed 's/^error = "\(.*\)"$/\1/'
} | sort -u | while IFS= read -r message; do
    grep -qF -- "$message" "$scratch/page.txt" || echo "$message"
done >"$scratch/undocumented"
if [ -s "$scratch/undocumented" ]; then
    fail "refusals of the program missing from the page: $(cat "$scratch/undocumented")"
fi
# The key log's own failures, each a literal in the source.
grep -ho 'fail_key_log(options, "[^"]*")' "$source_dir"/src/program/run.cpp | sed 's/^.*, "\(.*\)")$/\1/' |
    sort -u | while IFS= read -r message; do
        grep -qF -- "$message" "$scratch/page.txt" || echo "$message"
    done >"$scratch/undocumented"
if [ -s "$scratch/undocumented" ]; then
    fail "key log failures missing from the page: $(cat "$scratch/undocumented")"
fi
# The summary of --decrypt-only, its two numbers as the page names them.
"$kestrine" --decrypt-only "$source_dir/samples/sample-radiotap.pcap" "$scratch/out.pcap" >"$scratch/summary"
documented "$(sed 's/^Wrote [0-9]* packets, [0-9]* of/Wrote N packets, M of/' "$scratch/summary")"

# The keys-file line limit, as the program words it.
head -c 5000 /dev/zero | tr '\0' x >"$scratch/long-line.txt"
"$kestrine" --keys "$scratch/long-line.txt" "$scratch/missing.pcap" "$scratch/out.pcap" 2>"$scratch/err" &&
    fail "a keys file with a long line was accepted"
documented "$(sed 's/^kestrine: [^:]*:1: //' "$scratch/err")"

# The limit of keys, as the program words it.
for i in $(seq 257); do echo wep:0102030405; done >"$scratch/many-keys.txt"
"$kestrine" --keys "$scratch/many-keys.txt" "$scratch/missing.pcap" "$scratch/out.pcap" 2>"$scratch/err" &&
    fail "a keys file of 257 keys was accepted"
documented "$(sed 's/^kestrine: [^:]*:257: //' "$scratch/err")"

# The warnings named in the source, up to their first number.
grep -rho --include='*.cpp' '"kestrine: warning: [^"%]*' "$source_dir"/src | tr -d '"' | sort -u |
    while IFS= read -r message; do
        grep -qF -- "$message" "$scratch/page.txt" || echo "$message"
    done >"$scratch/undocumented"
if [ -s "$scratch/undocumented" ]; then
    fail "warnings of the program missing from the page: $(cat "$scratch/undocumented")"
fi
offset_error=$(grep -rho --include='*.h' --include='*.cpp' '"Error calculating[^"]*"' "$source_dir"/src | sort -u | tr -d '"')
[ -n "$offset_error" ] || fail "no offset-error line found in src"
documented "$offset_error"

# The warning about a damaged last record: cut the bundled sample short.
sample=$source_dir/samples/sample-radiotap.pcap
size=$(wc -c <"$sample")
head -c $((size - 5)) "$sample" >"$scratch/cut.pcap"
"$kestrine" "$scratch/cut.pcap" "$scratch/out.pcap" >/dev/null 2>"$scratch/err"
[ -s "$scratch/err" ] || fail "no warning for a cut-short capture"
documented "$(cat "$scratch/err")"

finish "man page: renders silently, version $version, every message documented"
