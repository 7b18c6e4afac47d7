#!/usr/bin/env bash
# Installs the Debian 12 packages Vesprey needs to build, run and test.
# Idempotent: when everything is present it returns at once without touching apt.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsqlcipher-dev sqlcipher
  libcurl4-openssl-dev libpcre2-dev ca-certificates libssl-dev liboath-dev
  openssl
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  nlohmann-json3-dev rapidjson-dev
  qt6-base-dev qt6-webengine-dev qt6-translations-l10n
  xvfb xauth fonts-wqy-microhei
  librsvg2-bin lintian desktop-file-utils appstream python3 python3-requests curl time
  locales
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

# The tests check the 12-hour time format with an en_US locale.
need_locale=0
locale -a 2>/dev/null | grep -qix 'en_US.utf8' || need_locale=1

if ((${#missing[@]} == 0 && need_locale == 0)); then
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "Vesprey needs packages (${missing[*]:-none}) or the en_US.UTF-8 locale, and this user cannot install them." >&2
  echo "Run this script as root, or install sudo." >&2
  exit 1
fi

if ((${#missing[@]} > 0)); then
  echo "Installing missing packages: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ((need_locale)) && command -v localedef >/dev/null 2>&1; then
  "${sudo[@]}" localedef -i en_US -f UTF-8 en_US.UTF-8
fi
