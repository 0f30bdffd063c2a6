#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine: compilers and C++ libraries with
# apt-get, CMake and Ninja with pip when they are missing. Safe to run again: it does nothing
# when everything is already there.
set -euo pipefail

debs=(g++ make clang-format libeigen3-dev libsuitesparse-dev libsimdjson-dev libgtest-dev)
missing=()
for p in "${debs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

py=${PYTHON:-python3}
for tool in cmake ninja; do
    command -v "$tool" >/dev/null 2>&1 || "$py" -m pip install -q "$tool"
done
