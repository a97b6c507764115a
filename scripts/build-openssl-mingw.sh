#!/usr/bin/env bash
# Builds a static libcrypto for a mingw-w64 target out of Debian's openssl source package, once:
# the result is kept in a cache folder and later calls return at once.
#   scripts/build-openssl-mingw.sh <i686|x86_64> <cache folder>
# Leaves <cache folder>/openssl-<arch>/{include,lib/libcrypto.a}.
set -euo pipefail

arch=$1
cache=$(mkdir -p "$2" && cd "$2" && pwd)
prefix=$cache/openssl-$arch
[ -f "$prefix/lib/libcrypto.a" ] && exit 0

# The source package, fetched once per cache folder.
src_root=$cache/openssl-src
if ! ls -d "$src_root"/openssl-*/ >/dev/null 2>&1; then
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
       ! grep -qs '^deb-src' /etc/apt/sources.list; then
        # A deb-src twin of every binary source entry of the system.
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            sed 's/^Types: deb$/Types: deb-src/' "$f" >"${f%.sources}-src.sources"
        done
        [ -f /etc/apt/sources.list ] &&
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/kestrel-src.list
        apt-get update -qq
    fi
    mkdir -p "$src_root"
    # The newest source version the mirrors still serve (a security update's source may be
    # listed before it can be downloaded).
    (cd "$src_root" &&
        for version in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV); do
            apt-get source -qq --download-only "openssl=$version" >/dev/null 2>&1 && break
            rm -f ./openssl_*
        done &&
        dpkg-source -x --no-check ./openssl_*.dsc >/dev/null)
fi
src=$(ls -d "$src_root"/openssl-*/ | head -n1)

case $arch in
    i686) target=mingw ;;
    x86_64) target=mingw64 ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

# Only libcrypto is built, without the algorithms and protocols the library never uses, so
# the build takes a fraction of the full one. DES and the random generator stay.
work=$cache/openssl-build-$arch
rm -rf "$work" && mkdir -p "$work"
log=$cache/openssl-build-$arch.log
if ! (cd "$work" &&
    "$src/Configure" "$target" --prefix="$prefix" --libdir=lib \
        no-shared no-module no-asm no-tests no-engine no-dso no-comp no-ocsp no-cms \
        no-ts no-srp no-ct no-cmp no-idea no-seed no-camellia no-aria no-sm2 no-sm3 no-sm4 \
        no-whirlpool no-rc2 no-rc4 no-rc5 no-md4 no-mdc2 no-blake2 no-siphash no-cast no-bf \
        no-scrypt no-ocb no-rfc3779 no-srtp no-dsa no-ec no-dh no-chacha no-poly1305 \
        no-ui-console no-ssl no-tls no-dtls \
        --cross-compile-prefix="$arch-w64-mingw32-" &&
    make -j"$(nproc)" build_generated &&
    make -j"$(nproc)" libcrypto.a) >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "building libcrypto for $arch failed; the whole log is $log" >&2
    exit 1
fi
mkdir -p "$prefix/lib" "$prefix/include"
cp "$work/libcrypto.a" "$prefix/lib/"
cp -r "$src/include/openssl" "$prefix/include/"
cp "$work"/include/openssl/*.h "$prefix/include/openssl/"
rm -rf "$work"
