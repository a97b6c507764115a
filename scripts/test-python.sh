#!/usr/bin/env bash
# Installs the Python package into a virtual environment of a build folder and runs its tests
# against that build's library and kestrel-sim.
#   scripts/test-python.sh [BUILD_DIR [PYTEST ARGUMENTS...]]     BUILD_DIR default build/asan
# Debian's interpreter is named on purpose: another python3 may come first on PATH. No package
# registry is needed: the environment sees Debian's setuptools and pytest, and pip builds the
# package with them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/asan}" && pwd)
shift $(( $# > 0 ? 1 : 0 ))
python=/usr/bin/python3
venv=$build/python-venv

[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --quiet --no-index --no-build-isolation --no-deps \
    --disable-pip-version-check ./python

export KESTREL_LIBRARY=$build/libkestrelapi.so.1
export KESTREL_SIM=$build/tools/kestrel-sim
# A library built with AddressSanitizer needs its runtime loaded before anything else in the
# interpreter; the interpreter's own allocations at exit are not leaks worth reporting.
asan=$(ldd "$KESTREL_LIBRARY" | awk '/libasan/ { print $3 }')
if [ -n "$asan" ]; then
    export LD_PRELOAD=$asan ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
fi
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider python/tests "$@"
