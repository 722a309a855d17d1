#!/usr/bin/env bash
# The target architectures' development packages for the cross builds (scripts/test-cross.sh,
# scripts/package.sh --arch), as scripts/packages/arm.txt lists them:
#   scripts/setup-cross.sh arm64 armhf
# (scripts/setup.sh --cross ARCH... installs the build machine's packages first, then runs this.)
#   1. dpkg --add-architecture ARCH, once;
#   2. the "cross:" packages as PKG:ARCH, in one apt-get run for all architectures;
#   3. the "unpack:" packages, which cannot sit beside the build machine's own, fetched for ARCH
#      with apt-get download and unpacked into build-cross/ARCH-dev/: their pkg-config files
#      point there, and their library links to the installed libraries of ARCH.
# Idempotent: what is installed or unpacked already is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
[ $# -gt 0 ] || { echo "usage: $0 arm64|armhf ..." >&2; exit 2; }
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

words() { sed -nE "s/^$1:[[:space:]]*//p" scripts/packages/arm.txt | tr -s ' \t' '\n' | sed '/^$/d'; }
mapfile -t cross < <(words cross)
mapfile -t unpack < <(words unpack)

added=0
missing=()
for arch in "$@"; do
    case "$arch" in arm64 | armhf) ;; *) echo "setup-cross: unknown architecture $arch" >&2; exit 2 ;; esac
    if ! dpkg --print-foreign-architectures | grep -x "$arch" >/dev/null; then
        echo "setup-cross: dpkg --add-architecture $arch"
        $sudo_cmd dpkg --add-architecture "$arch"
        added=1
    fi
    for p in "${cross[@]}"; do
        dpkg-query -W -f='${Status}' "$p:$arch" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p:$arch")
    done
done
updated=0
if [ ${#missing[@]} -gt 0 ] || [ "$added" = 1 ]; then
    $sudo_cmd apt-get update -qq
    updated=1
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup-cross: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

for arch in "$@"; do
    multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    dest="$root/build-cross/$arch-dev"
    want=$(apt-cache policy "${unpack[@]/%/:$arch}" | awk '/^[^ ]/ { p = $1 } /Candidate:/ { printf "%s%s ", p, $2 }')
    [ -f "$dest/.unpacked" ] && [ "$(cat "$dest/.unpacked")" = "$want" ] && continue
    if [ "$updated" = 0 ]; then
        $sudo_cmd apt-get update -qq
        updated=1
    fi
    echo "setup-cross: unpacking ${unpack[*]} ($arch) into $dest"
    rm -rf "$dest"
    mkdir -p "$dest/debs"
    (cd "$dest/debs" && for p in "${unpack[@]}"; do apt-get download -qq -o APT::Sandbox::User=root "$p:$arch"; done)
    for deb in "$dest"/debs/*.deb; do dpkg-deb -x "$deb" "$dest"; done
    rm -rf "$dest/debs" "$dest/usr/share/doc"
    libdir="$dest/usr/lib/$multiarch"
    sed -i -E "s#^prefix=/usr\$#prefix=$dest/usr#" "$libdir"/pkgconfig/*.pc
    # A development link (libX.so -> libX.so.0) names a library that the cross: packages
    # installed into /usr/lib/$multiarch.
    for link in "$libdir"/*.so; do
        [ -L "$link" ] || continue
        target=$(readlink "$link")
        [ -e "$libdir/$target" ] || ln -sfn "/usr/lib/$multiarch/$target" "$link"
    done
    printf '%s' "$want" >"$dest/.unpacked"
done
