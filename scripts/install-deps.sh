#!/usr/bin/env bash
# Installs the Debian 12 packages Vesprey needs to build, run and test.
# Idempotent: when everything is present it returns at once without touching apt.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsqlcipher-dev sqlcipher
  libcurl4-openssl-dev libpcre2-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  nlohmann-json3-dev rapidjson-dev
  qt6-base-dev
  xvfb xauth fonts-wqy-microhei
  locales
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}" >&2
if [[ $(id -u) -eq 0 ]]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "These packages are missing and this user cannot install them: ${missing[*]}" >&2
  echo "Run this script as root, or install sudo." >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
