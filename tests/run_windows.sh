#!/bin/sh
# Cross-builds dravik.exe and its tests for 64-bit Windows with mingw-w64
# (warnings as errors), then runs the tests under Wine. Needs the Debian
# packages g++-mingw-w64-x86-64, wine (or wine64) and googletest.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DDRAVIK_WERROR=ON -DDRAVIK_TESTS=ON
cmake --build build-win -j "$jobs"

# Wine keeps its state (the "prefix") inside the build folder; creating it
# on the first start takes a while, so it is done once before the tests.
WINEPREFIX="$(pwd)/build-win/wine"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="  # no prompts to install .NET or a browser
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix in $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || echo "wineboot failed; the first test start sets the prefix up" >&2
  wineserver --wait || true
fi
ctest --test-dir build-win -j "$jobs" --output-on-failure
wineserver --kill 2>/dev/null || true
