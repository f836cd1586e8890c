#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing vumo-dfu needs, when any is missing.
# Runs as root (CI) or through sudo. Usage: scripts/install-deps.sh [--fuzz] [--tidy] [--windows]
# [PACKAGE...]: --fuzz adds clang and libFuzzer (scripts/fuzz.sh), --tidy adds clang-tidy
# (scripts/tidy.sh), --windows the mingw-w64 cross compiler, Wine, wixl, Xvfb and zip
# (scripts/build-windows.sh).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  qt6-base-dev qt6-l10n-tools libudev-dev libsystemd-dev libcli11-dev
  libgtest-dev libgmock-dev libboost-dev libbenchmark-dev
  fonts-liberation2 binutils dbus-daemon
  desktop-file-utils appstream man-db groff-base dpkg-dev file bash-completion
  qemu-system-x86 busybox-static cpio
)
for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=(clang libfuzzer-14-dev libclang-rt-14-dev) ;;
    --tidy) packages+=(clang-tidy) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 msitools wixl zip
                          googletest xvfb xauth) ;;
    *) packages+=("$arg") ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
