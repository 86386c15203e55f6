#!/usr/bin/env bash
# Runs the drive tests (label drive) and the desktop end-to-end test again as an unprivileged
# user, as users run the product: FUSE through the setuid fusermount3, and the service's socket
# folder, the container, the mount point and the phone's storage all that user's. Meant for root
# (CI runs as root); anyone else already ran them as themselves, and this says so and ends.
#
# Creates the user BRIMO_TEST_USER (brimo-tester) when missing and gives it what a desktop gives
# every user: /dev/fuse open to all (udev's rule does that; a container leaves it root's), search
# access to the folders above the tree, and a Testing folder in the build tree that ctest can
# write.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${BRIMO_BUILD_DIR:-$root/build}")
user=${BRIMO_TEST_USER:-brimo-tester}

if ((EUID != 0)); then
  echo "test-as-user: not root, so the tests already ran as an unprivileged user"
  exit 0
fi
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
home=$(getent passwd "$user" | cut -d: -f6)
[[ $(stat -c %a /dev/fuse) == 666 ]] || chmod 0666 /dev/fuse

as_user() {
  runuser -u "$user" -- env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    "$@"
}
for dir in "$build" "$root"; do
  while [[ $dir != / ]]; do
    as_user test -x "$dir" || setfacl -m "u:$user:x" "$dir"
    dir=$(dirname "$dir")
  done
done
as_user test -r "$build/CTestTestfile.cmake" || setfacl -R -m "u:$user:rX" "$build" "$root"
mkdir -p "$build/Testing"
setfacl -R -m "u:$user:rwX" -m "d:u:$user:rwX" "$build/Testing"

cd /tmp
echo "== the drive tests as $user (uid $(id -u "$user"))"
as_user ctest --test-dir "$build" -L drive --output-on-failure -j2 --timeout 180
echo "== the desktop end to end as $user"
as_user ctest --test-dir "$build" -R '^DesktopEndToEndTest\.' --output-on-failure --timeout 180
