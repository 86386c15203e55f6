#!/usr/bin/env bash
# Installs the Debian packages the project needs when any is missing, then configures and
# builds into build/ (Debug, AddressSanitizer + UndefinedBehaviorSanitizer).
# Environment: BRIMO_BUILD_DIR, BRIMO_BUILD_TYPE (Debug), BRIMO_SANITIZE (ON; OFF, or thread
# for ThreadSanitizer instead).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(
  cmake ninja-build g++ pkg-config ccache
  libasio-dev libusbmuxd-dev libplist-dev libsystemd-dev nlohmann-json3-dev uuid-dev
  libgtest-dev libgmock-dev libfuse3-dev
  libusbmuxd-tools libimobiledevice-utils dbus-bin util-linux systemd fuse3
  clang libclang-rt-dev
  git sqlite3 rsync python3 tar
  qt6-base-dev squashfs-tools squashfuse xdg-utils libglib2.0-bin openssl libsodium-dev
  qt6-svg-dev qt6-tools-dev qt6-l10n-tools fonts-dejavu-core
  xvfb xauth trayer xdotool imagemagick x11-utils
  dpkg-dev binutils desktop-file-utils lintian acl
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

build=${BRIMO_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE="${BRIMO_BUILD_TYPE:-Debug}" \
  -DBRIMO_SANITIZE="${BRIMO_SANITIZE:-ON}" >/dev/null
ninja -C "$build" --quiet
