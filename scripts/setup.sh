#!/usr/bin/env bash
# Installs what building and testing need, on a fresh Debian machine:
# system packages (compilers, Boost, xxHash, GoogleTest, Google Benchmark,
# clang for the fuzzer, graphviz), and a virtual environment in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build python3-venv python3-dev libboost1.81-dev libxxhash-dev libgtest-dev
          libbenchmark-dev clang-14 libclang-rt-14-dev graphviz)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" = 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q scikit-build-core cmake ninja pytest hypothesis numpy mypy \
  numexpr pandas pyarrow "dask[distributed]" onnxruntime onnx tqdm
