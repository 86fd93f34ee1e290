#!/bin/sh
# Installation and the Debian package, end to end:
#  - `cmake --install` puts the program in bin/ and the man page in
#    share/man/man1/, and the installed program converts the samples;
#  - cpack builds kestrine_<version>_<arch>.deb, its control fields name the
#    version of the banner and depend on libpcap's runtime package, and the
#    program unpacked from it (dpkg -x into a scratch root) converts the
#    samples byte for byte as the built program does.
#
#   package_test.sh SOURCE_DIR BUILD_DIR KESTRINE
# Exits 77 (skipped) when dpkg-deb or cpack is not installed.
set -eu
source_dir=$1
build_dir=$2
kestrine=$3

for tool in dpkg dpkg-deb cpack; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed"; exit 77; }
done

. "$(dirname "$0")/check_lib.sh"

version=$("$kestrine" | sed -n '1s/^kestrine \([^ ]*\) - .*/\1/p') || true
[ -n "$version" ] || { echo "FAIL: no version in the banner"; exit 1; }
arch=$(dpkg --print-architecture)

# What the built program makes of each sample: the reference.
for sample in "$source_dir"/samples/*.pcap; do
    name=$(basename "$sample" .pcap)
    "$kestrine" "$sample" "$scratch/$name.expected" >"$scratch/$name.expected.out"
done

# Runs an installed program on every sample and compares with the reference.
converts_like_the_build() {
    program=$1
    where=$2
    [ -x "$program" ] || { fail "$where: no program at $program"; return; }
    for sample in "$source_dir"/samples/*.pcap; do
        name=$(basename "$sample" .pcap)
        if ! "$program" "$sample" "$scratch/$name.got" >"$scratch/$name.got.out" 2>"$scratch/$name.got.err"; then
            fail "$where: $program $sample failed: $(cat "$scratch/$name.got.err")"
            continue
        fi
        grep -q '^Converted [1-9][0-9]* packets\.$' "$scratch/$name.got.out" ||
            fail "$where: $name: summary \"$(cat "$scratch/$name.got.out")\""
        cmp -s "$scratch/$name.got.out" "$scratch/$name.expected.out" ||
            fail "$where: $name: summary differs from the built program's"
        cmp -s "$scratch/$name.got" "$scratch/$name.expected" ||
            fail "$where: $name: output capture differs from the built program's"
    done
}

# The man page renders silently, and names the program's version.
man_page_is_sound() {
    page=$1
    where=$2
    [ -f "$page" ] || { fail "$where: no man page at $page"; return; }
    gzip -dc "$page" >"$scratch/page.1" 2>/dev/null || cp "$page" "$scratch/page.1"
    grep -q "^\.ds Vn $version\$" "$scratch/page.1" || fail "$where: the man page does not carry version $version"
    if command -v groff >/dev/null 2>&1; then
        groff -t -ww -man -z "$scratch/page.1" >"$scratch/groff.out" 2>&1 || true
        [ ! -s "$scratch/groff.out" ] || fail "$where: groff warns: $(cat "$scratch/groff.out")"
    fi
}

# 1. cmake --install into a scratch prefix.
cmake --install "$build_dir" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
converts_like_the_build "$scratch/prefix/bin/kestrine" "cmake --install"
man_page_is_sound "$scratch/prefix/share/man/man1/kestrine.1.gz" "cmake --install"
installed_programs=$(ls "$scratch/prefix/bin")
[ "$installed_programs" = kestrine ] || fail "cmake --install: bin/ holds \"$installed_programs\", not kestrine alone"

# 2. The Debian package.
mkdir "$scratch/package"
(cd "$scratch/package" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch/package") \
    >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$scratch/package/kestrine_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
    fail "no package named kestrine_${version}_${arch}.deb; cpack wrote: $(ls "$scratch/package")"
else
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = kestrine ] || fail "Package: $(field Package)"
    [ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the banner says $version"
    [ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
    # A summary line, then the long description, each line indented once.
    [ -n "$(field Description | head -n 1)" ] || fail "the Description has no summary line"
    if field Description | tail -n +2 | grep -q '^  '; then
        fail "the long Description is indented twice: $(field Description)"
    fi
    depends=$(field Depends)
    echo "Depends: $depends"
    echo "$depends" | grep -Eq '(^|, )libpcap0\.8( |,|$)' || fail "Depends does not name libpcap0.8: $depends"
    # Every package named in Depends is one that dpkg knows by that name.
    for dependency in $(echo "$depends" | sed 's/([^)]*)//g; s/|/,/g; s/,/ /g'); do
        dpkg-query -W "$dependency" >/dev/null 2>&1 || fail "Depends names $dependency, which dpkg does not know"
    done
    dpkg-deb -c "$deb" | awk '{print $6}' >"$scratch/contents"
    for path in ./usr/bin/kestrine ./usr/share/man/man1/kestrine.1.gz ./usr/share/doc/kestrine/copyright; do
        grep -qx "$path" "$scratch/contents" || fail "the package holds no $path"
    done
    dpkg -x "$deb" "$scratch/root"
    # Debian's machine-readable copyright format: its Format line, the
    # program's licence, and a licence paragraph for every licence named.
    copyright=$scratch/root/usr/share/doc/kestrine/copyright
    if [ -f "$copyright" ]; then
        head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
            fail "copyright: no Format line"
        awk '/^Files: \*$/ { files = 1; next } files && /^License:/ { print; exit }' "$copyright" |
            grep -qx 'License: Apache-2.0' || fail "copyright: the program's files are not under Apache-2.0"
        for licence in Apache-2.0 BSD-3-clause Expat; do
            grep -qx "License: $licence" "$copyright" || fail "copyright: no paragraph for $licence"
        done
    fi
    converts_like_the_build "$scratch/root/usr/bin/kestrine" "dpkg -x"
    man_page_is_sound "$scratch/root/usr/share/man/man1/kestrine.1.gz" "dpkg -x"
fi

finish "install and package: kestrine_${version}_${arch}.deb installs and converts the samples"
