#!/usr/bin/env bash
# Installs what the tests need, when missing, then runs every test: the C++
# unit tests (GoogleTest under CTest) and the Python tests (pytest) against
# the package installed from this checkout. The C++ tests also run under
# AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh, about
# 6 minutes on 2 cores); KORVANE_SANITIZE=0 skips that run.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/unicode/UnicodeData.txt ] || missing+=(unicode-data)
command -v g++ >/dev/null || missing+=(g++)
# The browser tests render the HTML pages in headless Chromium.
command -v chromium >/dev/null || command -v chromium-browser >/dev/null || missing+=(chromium)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$python" -m pip install -q --disable-pip-version-check cmake ninja pytest hypothesis orjson mypy
# The recording and import tests run the real SDKs (their HTTP layer mocked)
# and produce OTLP input with the real OpenTelemetry SDK and its OTLP encoder.
"$python" -m pip install -q --disable-pip-version-check openai anthropic opentelemetry-sdk \
  opentelemetry-exporter-otlp-proto-common
# The suite tests: the JUnit schema check, the Ray and Dask engines, --pricing auto.
"$python" -m pip install -q --disable-pip-version-check xmlschema "ray>=2.9" "dask[distributed]>=2024.1" \
  "genai-prices>=0.0.25"

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DKORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j 2
ctest --test-dir build/tests -j 2 --output-on-failure --timeout 600

if [ "${KORVANE_SANITIZE:-1}" != 0 ]; then
  echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  scripts/sanitize.sh
fi

echo "== Python tests"
# One abi3 wheel, installed for every test run below.
rm -rf build/wheel
"$python" -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
wheel=$(ls build/wheel/korvane-*.whl)
"$python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider)

# The same wheel under every newer CPython that pyenv has: the module
# surface, trace I/O, hostile inputs and reference counting, which depend on
# the version.
if command -v pyenv >/dev/null; then
  for other in "$(pyenv root)"/versions/3.*/bin/python3; do
    [ -x "$other" ] && "$other" -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null || continue
    echo "== Python tests under $("$other" -c 'import platform; print(platform.python_version())')"
    "$other" -m pip install -q --disable-pip-version-check pytest hypothesis mypy
    "$other" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
    (cd tests/python && "$other" -m pytest -q -p no:cacheprovider test_module.py test_agentlog_io.py test_leaks.py)
  done
fi
