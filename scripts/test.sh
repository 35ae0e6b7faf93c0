#!/usr/bin/env bash
# Installs what the tests need, when missing, then runs every test: the C++
# unit tests (GoogleTest under CTest) and the Python tests (pytest) against
# the package installed from this checkout. KORVANE_SANITIZE=1 also runs
# the C++ tests under the sanitizers (scripts/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/unicode/UnicodeData.txt ] || missing+=(unicode-data)
command -v g++ >/dev/null || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$python" -m pip install -q --disable-pip-version-check cmake ninja pytest hypothesis orjson mypy

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DKORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j 2
ctest --test-dir build/tests -j 2 --output-on-failure --timeout 600

if [ "${KORVANE_SANITIZE:-0}" = 1 ]; then
  echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  scripts/sanitize.sh
fi

echo "== Python tests"
"$python" -m pip install -q --disable-pip-version-check .
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider)
