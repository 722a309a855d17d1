#!/usr/bin/env bash
# Checks the packages scripts/package.sh --arch ARCH built into build-deb-ARCH/:
#   scripts/check-cross-packages.sh arm64|armhf
# every expected package is there, each says Architecture: ARCH, every ELF file in it is an ARCH
# binary, and lintian reports nothing (as for the amd64 packages). They cannot be installed on
# this machine; scripts/test-package.sh installs and uses the amd64 ones.
set -uo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case "$arch" in
arm64) machine='ARM aarch64' ;;
armhf) machine='ARM, EABI5' ;;
*) echo "usage: $0 arm64|armhf" >&2; exit 2 ;;
esac
shopt -s nullglob
debs=(build-deb-"$arch"/*.deb)
bad=0
[ ${#debs[@]} -gt 0 ] || { echo "$arch: no packages in build-deb-$arch/"; exit 1; }

names=()
for deb in "${debs[@]}"; do
    names+=("$(dpkg-deb -f "$deb" Package)")
    a=$(dpkg-deb -f "$deb" Architecture)
    echo "$deb: Architecture: $a"
    [ "$a" = "$arch" ] || { echo "  expected $arch"; bad=1; }
    dir=$(mktemp -d)
    dpkg-deb -x "$deb" "$dir"
    while IFS= read -r f; do
        kind=$(file -b "$f")
        [[ $kind == ELF* ]] || continue
        [[ $kind == *"$machine"* ]] || { echo "  ${f#"$dir"}: $kind"; bad=1; }
    done < <(find "$dir" -type f)
    rm -rf "$dir"
done
for p in libvexo0 libvexo-dev libvexo-cpp0 libvexo-cpp-dev vexo-tools; do
    [[ " ${names[*]} " == *" $p "* ]] || { echo "$arch: $p was not built"; bad=1; }
done
for p in python3-vexo gstreamer1.0-vexo; do
    [[ " ${names[*]} " == *" $p "* ]] || echo "$arch: no $p (see the configure output above)"
done
lintian --fail-on error,warning,info,pedantic -EvIL +pedantic "${debs[@]}" || bad=1
[ "$bad" -eq 0 ] && echo "$arch: packages checked: ${names[*]}"
exit "$bad"
