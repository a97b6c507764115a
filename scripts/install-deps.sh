#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when some are missing.
# As root it runs apt-get itself; otherwise it prints the command to run.
#   scripts/install-deps.sh            the native build
#   scripts/install-deps.sh windows    also the mingw-w64 cross compilers and wine64, and
#                                      dpkg-dev to unpack the openssl source package
#   scripts/install-deps.sh fuzz       also clang and its sanitizer and libFuzzer runtimes
set -euo pipefail

# libcli11-dev and nlohmann-json3-dev: the command line and the JSON of the kestrel tool
# (header-only; the Windows build uses the same headers).
packages=(build-essential cmake libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          libhidapi-dev pkg-config libcli11-dev nlohmann-json3-dev
          python3 python3-venv python3-setuptools python3-wheel python3-pytest)
case "${1:-}" in
    windows) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 dpkg-dev) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
    echo "missing packages: ${missing[*]}" >&2
    echo "run: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
