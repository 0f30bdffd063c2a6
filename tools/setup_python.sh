#!/usr/bin/env bash
# Makes the virtual environment the Python build and tests run in (.venv, or $VENV): the
# interpreter's headers and venv support from apt-get when missing, then pytest and the build
# backend with pip. Safe to run again: it only adds what is missing.
set -euo pipefail

py=${PYTHON:-python3}
venv=${VENV:-.venv}

debs=()
"$py" - <<'PY' || debs+=(python3-dev)
import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
PY
"$py" -c 'import ensurepip, venv' 2>/dev/null || debs+=(python3-venv)
if ((${#debs[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${debs[@]}"
fi

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
"$venv/bin/python" -c 'import pytest, scikit_build_core' 2>/dev/null ||
    "${pip[@]}" pytest 'scikit-build-core>=0.10'
for tool in cmake ninja; do
    command -v "$tool" >/dev/null 2>&1 || "${pip[@]}" "$tool"
done
