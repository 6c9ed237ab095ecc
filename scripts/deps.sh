#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/deps.sh [build|test|bench]
set -euo pipefail
what=${1:-build}
pkgs=(build-essential cmake ninja-build pkg-config libicu-dev libpcre2-dev)
case "$what" in
  # locales: the character maps from which the tests build a locale with a decimal comma.
  test) pkgs+=(libgtest-dev libgmock-dev locales) ;;
  bench) pkgs+=(libbenchmark-dev libsqlite3-dev) ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# ccache only speeds up rebuilds; its absence is not an error.
if ! command -v ccache >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends ccache >/dev/null 2>&1 || true
fi
