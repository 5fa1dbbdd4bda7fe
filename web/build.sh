#!/bin/sh
# Builds the web page into web/dist/: dravik's library compiled to
# WebAssembly with Emscripten, the page's own files, and fflate for .zip
# files. Open web/dist/index.html from the folder, or serve the folder with
# any static host.
#
# Needs Debian's emscripten and npm (apt-get install emscripten npm).
# Emscripten runs its JavaScript steps with the node on PATH; when that is
# not Debian's, they only find their modules through NODE_PATH.
set -eu
web=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$web")
build=$web/build
export NODE_PATH="${NODE_PATH:-/usr/share/nodejs}"

command -v emcc >/dev/null 2>&1 || { echo "web/build.sh: emcc is missing: apt-get install emscripten" >&2; exit 1; }
if [ ! -f "$web/node_modules/fflate/umd/index.js" ]; then
  (cd "$web" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund)
fi

# The library, exactly as the project builds it, with Emscripten's compiler.
# Exceptions are caught: the library reports memory running out as a value
# (OpenError::out_of_memory), which needs std::bad_alloc to be catchable.
emcmake cmake -S "$root" -B "$build/lib" -DCMAKE_BUILD_TYPE=Release -DDRAVIK_WERROR=ON \
  -DDRAVIK_TESTS=OFF -DCMAKE_CXX_FLAGS="-fexceptions" >/dev/null
cmake --build "$build/lib" --target dravik_lib -j "$(nproc 2>/dev/null || echo 2)"

# The binding sees the public headers only. One file holds the engine, its
# WebAssembly inlined (SINGLE_FILE), so that the page needs no fetch: a
# page opened from a folder (file://) may not fetch anything.
#   ENVIRONMENT=web,worker: it only ever runs in a worker of the page.
#   MAXIMUM_MEMORY: the most a worker may grow to; larger archives are
#   refused as "not enough memory" rather than crashing the page.
em++ -std=c++17 -O3 -fexceptions -Wall -Wextra -Wpedantic -Werror -I"$root/include" \
  "$web/src/binding.cpp" "$build/lib/lib/libdravik.a" -o "$build/core.js" \
  -sMODULARIZE=1 -sEXPORT_NAME=DravikCore -sENVIRONMENT=web,worker -sSINGLE_FILE=1 \
  -sALLOW_MEMORY_GROWTH=1 -sINITIAL_MEMORY=32MB -sMAXIMUM_MEMORY=2GB -sFILESYSTEM=0 \
  -sDISABLE_EXCEPTION_CATCHING=0

node "$web/tools/assemble.mjs" "$build/core.js" "$web/dist"
echo "web/build.sh: the page is in $web/dist/index.html"
