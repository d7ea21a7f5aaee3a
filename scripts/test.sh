#!/usr/bin/env bash
# Runs every test: the C++ suite (optimised, then under AddressSanitizer and
# UndefinedBehaviorSanitizer, then under ThreadSanitizer), the fuzz seed
# corpora, and the Python suite against the installed wheel. Warnings are
# errors throughout.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=${JOBS:-$(nproc)}

step() { printf '\n=== %s\n' "$*"; }

step "C++ tests (optimised)"
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=ON -DKORVANE_BENCH=ON \
  -DKORVANE_WERROR=ON >/dev/null
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci -j "$jobs" --output-on-failure --no-tests=error

step "C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer; the extension module is built with them too)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_TESTS=ON -DKORVANE_WERROR=ON \
  -DKORVANE_SANITIZE=address,undefined -DKORVANE_PYTHON=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure --no-tests=error

step "C++ tests (ThreadSanitizer: the store, the incremental reducer and the symbol table are shared by threads)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_TESTS=ON -DKORVANE_WERROR=ON \
  -DKORVANE_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan -j "$jobs" --output-on-failure --no-tests=error

step "Fuzz seed corpus (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_FUZZ=ON -DKORVANE_WERROR=ON \
  -DKORVANE_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz -j "$jobs" --target blob_fuzz reduce_fuzz param_key_fuzz rule_text_fuzz
for target in blob reduce param_key rule_text; do
  build/fuzz/fuzz/${target}_fuzz -runs=0 fuzz/corpus/$target
done

step "Python module (wheel) and tests"
rm -rf build/wheelhouse
python -m pip wheel -q --no-deps . -w build/wheelhouse -C cmake.define.KORVANE_WERROR=ON
python -m pip install -q --force-reinstall --no-deps build/wheelhouse/korvane_core-*.whl
python -m pytest -q tests/python

step "The module's tests against the oldest numpy it supports (2.2, the newest for CPython 3.10)"
[ -x .venv-numpy22/bin/python ] || "${PYTHON:-python3}" -m venv .venv-numpy22
.venv-numpy22/bin/python -m pip install -q "numpy==2.2.*" pytest hypothesis
.venv-numpy22/bin/python -m pip install -q --force-reinstall --no-deps build/wheelhouse/korvane_core-*.whl
.venv-numpy22/bin/python -m pytest -q -p no:cacheprovider tests/python/test_hardening.py \
  tests/python/test_recording.py tests/python/test_views.py tests/python/test_reduce.py

step "Reduction results byte for byte against the recorded digests (quick form: up to 1e5 nodes)"
python bench/check_results.py --quick | tail -1

step "Python re-entrancy and hostile-object tests against the module under AddressSanitizer + UBSan"
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$PWD/build/asan/src/binding" \
  python -m pytest -q -p no:cacheprovider tests/python/test_reentrancy.py tests/python/test_hardening.py \
  tests/python/test_rules.py

step "Type stubs: stubtest against the built module, mypy on a typed example"
python -m mypy.stubtest korvane_core
python -m mypy --strict --no-error-summary tests/typing/example.py
