#!/usr/bin/env bash
# Installs what is missing (Debian packages, a virtual environment with the
# Python build and test packages), then builds and installs the module into
# that environment. Safe to run again: it only does what is not done yet.
# With --env-only it stops before the module, for scripts that build their own.
set -euo pipefail
cd "$(dirname "$0")/.."
ENV_ONLY=false
[ "${1:-}" = --env-only ] && ENV_ONLY=true

apt_install() {
  local SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}

APT_PACKAGES=(g++ gfortran cmake ninja-build pkg-config libeigen3-dev liblbfgsb-dev libtbb-dev libboost-dev libgtest-dev)
missing=()
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing Debian packages: ${missing[*]}"
  apt_install "${missing[@]}"
fi

PYTHON=${PYTHON:-python3}
# Debian's own interpreter ships its headers and venv support separately.
if ! "$PYTHON" -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"; then
  echo "== installing the Python headers"
  apt_install python3-dev
fi
if [ ! -x .venv/bin/python ]; then
  echo "== creating the virtual environment .venv"
  if ! "$PYTHON" -m venv .venv; then
    rm -rf .venv
    apt_install python3-venv
    "$PYTHON" -m venv .venv
  fi
fi
VPY=.venv/bin/python
if ! $VPY -c "import numpy, pytest, scikit_build_core" 2>/dev/null; then
  echo "== installing Python packages"
  $VPY -m pip install -q --upgrade pip
fi
# Every run, so that an environment made before a pin changed follows it;
# pip does nothing (and asks no index) when the pinned versions are there.
$VPY -m pip install -q -r requirements-dev.txt
$ENV_ONLY && exit 0

echo "== building and installing peltaro"
$VPY -m pip install -q --no-build-isolation .
$VPY -c "import peltaro; print('peltaro', peltaro.version(), 'installed')"
