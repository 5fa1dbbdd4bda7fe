#!/bin/sh
# Builds dravik and runs every test three times: in the release build with
# warnings as errors, under AddressSanitizer and UndefinedBehaviorSanitizer,
# and as dravik.exe for Windows, cross-built and run under Wine; then the
# Python module's tests with Debian's Python, and the web page, built with
# Emscripten and tested in Chromium.
#
# A stage whose tools are not installed is skipped with one line saying
# which packages bring it; DRAVIK_REQUIRE_ALL=1 (as .ci/run sets) makes
# every stage required instead.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDRAVIK_WERROR=ON -DDRAVIK_TESTS=ON
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DDRAVIK_WERROR=ON -DDRAVIK_SANITIZE=ON -DDRAVIK_TESTS=ON
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize -j "$jobs" --output-on-failure

# Skips a stage whose tools are missing, or fails when every stage is required.
skip() {
  if [ "${DRAVIK_REQUIRE_ALL:-0}" = 1 ]; then
    echo "run_all: the $1 stage is required but $2 is missing" >&2
    exit 1
  fi
  echo "run_all: skipped the $1 stage: install $3 to run it"
}

if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && command -v wine >/dev/null 2>&1 &&
   [ -f /usr/src/googletest/CMakeLists.txt ]; then
  tests/run_windows.sh
else
  skip Windows "mingw-w64, Wine or the GoogleTest sources" "g++-mingw-w64-x86-64, wine, wine64 and googletest"
fi

# The Python module, for Debian's interpreter (the one with python3-pytest),
# installed as the README says (cmake --install) into a scratch folder and
# tested there.
python=/usr/bin/python3
if [ -x "$python" ] && "$python" -c 'import pytest, sysconfig, os; assert os.path.exists(sysconfig.get_paths()["include"] + "/Python.h")' 2>/dev/null &&
   [ -f /usr/include/pybind11/pybind11.h ]; then
  cmake -S . -B build-python -DCMAKE_BUILD_TYPE=Release -DDRAVIK_WERROR=ON -DDRAVIK_TESTS=OFF \
    -DDRAVIK_PYTHON=ON -DPython3_EXECUTABLE="$python"
  cmake --build build-python -j "$jobs" --target dravik_python
  rm -rf build-python/installed
  DESTDIR="$PWD/build-python/installed" cmake --install build-python --component python
  package=$(dirname "$(find "$PWD/build-python/installed" -name '_dravik*.so')")
  (cd build-python && PYTHONPATH="$(dirname "$package")" "$python" -m pytest -p no:cacheprovider -q ../python/tests)
else
  skip Python "Python's headers, pytest or pybind11" "python3-dev, python3-pytest and pybind11-dev"
fi

if command -v emcc >/dev/null 2>&1 && [ -x /usr/bin/chromium ] && [ -d web/node_modules/playwright-core ]; then
  web/build.sh
  DRAVIK="$PWD/build/dravik" node --test web/test/page.test.mjs
else
  skip web "emscripten, chromium or web/node_modules" "emscripten and chromium and run npm ci in web/"
fi
