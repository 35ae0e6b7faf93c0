#!/usr/bin/env bash
# Installs what the tests need, when missing, then runs every test: the C++
# unit tests (GoogleTest under CTest), again under AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh; KORVANE_SANITIZE=0 skips
# that run), and the Python tests (pytest) against the wheel built from this
# checkout, installed with every optional extra. No test may skip: a skipped
# Python test fails the run (tests/python/conftest.py).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
pip=("$python" -m pip install -q --disable-pip-version-check)

# From Debian's packages: GoogleTest, the Unicode Character Database (its
# NormalizationTest.txt comes compressed, hence bzip2), a compiler, and
# Chromium for the tests that render the HTML pages in a real browser.
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/unicode/UnicodeData.txt ] || missing+=(unicode-data)
command -v bzip2 >/dev/null || missing+=(bzip2)
command -v g++ >/dev/null || missing+=(g++)
command -v chromium >/dev/null || command -v chromium-browser >/dev/null || missing+=(chromium)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# From PyPI: the build tools and the test tools (the OTLP encoder produces
# the import tests' input from the real OpenTelemetry SDK; xmlschema checks
# the JUnit output against its schema).
"${pip[@]}" cmake ninja pytest hypothesis mypy xmlschema opentelemetry-exporter-otlp-proto-common

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DKORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j 2
ctest --test-dir build/tests -j 2 --output-on-failure --timeout 600

if [ "${KORVANE_SANITIZE:-1}" != 0 ]; then
  echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  scripts/sanitize.sh
fi

echo "== Python tests"
# One abi3 wheel, installed with every optional extra (the SDKs, the
# OpenTelemetry SDK, Ray, Dask, genai-prices, tqdm) for every run below.
rm -rf build/wheel
"$python" -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
wheel=$(ls build/wheel/korvane-*.whl)
"${pip[@]}" --force-reinstall --no-deps "$wheel"
"${pip[@]}" "$wheel[openai,anthropic,otel,ray,dask,prices,progress]"
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
