#!/usr/bin/env bash
# Makes a release: a Release build without sanitizers in build-release/, the update archive
# (Brimo.app in a .tar.gz) and the .deb in build-release/packages/, the archive signed, and for
# each mirror an appcast item and a one-item appcast pointing at that mirror's copy.
#
#   scripts/release.sh SECRET_KEY_FILE BASE_URL...
#
# SECRET_KEY_FILE is the key from `brimo-sign-update keygen`; the app is built with its public
# half. Each BASE_URL is a mirror folder where the archive and the appcast will be published;
# its files are written to packages/feeds/HOST/PATH/.
# Environment: BRIMO_RELEASE_DIR (build-release), BRIMO_BUILD_NUMBER (kept from the last
# release build when unset; it must grow from release to release).
set -euo pipefail

if (($# < 2)); then
  echo "usage: scripts/release.sh SECRET_KEY_FILE BASE_URL..." >&2
  exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
secret=$1
shift
build=${BRIMO_RELEASE_DIR:-$root/build-release}
[[ -r $secret ]] || { echo "release: cannot read $secret" >&2; exit 1; }
build_number_option=()
[[ -z ${BRIMO_BUILD_NUMBER:-} ]] || build_number_option=(-DBRIMO_BUILD_NUMBER="$BRIMO_BUILD_NUMBER")

# The signing tool first: the bundle must trust exactly the key its archive is signed with.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIMO_SANITIZE=OFF \
  "${build_number_option[@]}" >/dev/null
ninja -C "$build" -j2 --quiet brimo-sign-update
tool=$build/bin/brimo-sign-update
public_key=$("$tool" public-key "$secret")
cmake -S "$root" -B "$build" -DBRIMO_UPDATE_PUBLIC_KEY="$public_key" >/dev/null
ninja -C "$build" -j2 --quiet Brimo BrimoService Brimofs brimoctl brimo-launchctl mount.brimo \
  umount.brimo

packages=$build/packages
rm -rf "$packages"
cpack --config "$build/CPackConfig.cmake" -G TGZ >/dev/null
cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null
rm -rf "$packages/_CPack_Packages"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
build_number=$(sed -n 's/^BRIMO_BUILD_NUMBER:STRING=//p' "$build/CMakeCache.txt")
archives=("$packages"/Brimo-"$version-$build_number"-*.tar.gz)
archive=${archives[0]}
debs=("$packages"/brimo_*.deb)

# Everything the build put into the bundle is in the archive, and nothing else.
diff <(cd "$build" && find Brimo.app -type f | sort) <(tar tzf "$archive" | grep -v '/$' | sort) ||
  { echo "release: the archive's bundle differs from the build's (install rules?)" >&2; exit 1; }

# One date for every mirror's item.
name=$(basename "$archive")
date=$(LC_ALL=C date -u -R)
for base_url in "$@"; do
  base_url=${base_url%/}
  feeds=$packages/feeds/${base_url#*://}
  mkdir -p "$feeds"
  "$tool" item "$archive" "$secret" --url "$base_url/$name" --version "$build_number" \
    --short-version "$version" --date "$date" >"$feeds/item.xml"
  "$tool" feed "$feeds/item.xml" >"$feeds/appcast.xml"
done

echo "release $version ($build_number), public key $public_key"
(cd "$packages" && find . -type f | sort | xargs ls -l)
