#!/usr/bin/env bash
# Checks the .deb as users get it. Meant for root on a fresh Debian 12 machine (CI), after
# scripts/setup.sh installed the build dependencies:
#  1. builds the package's targets (Release, no sanitizers, ccache when installed) into
#     BRIMO_PACKAGE_BUILD_DIR (build-package/) and makes the .deb with cpack;
#  2. validates its desktop entry (desktop-file-validate) and runs lintian on it, failing on any
#     error;
#  3. installs it with apt-get, which must pull in everything it needs, and checks that every
#     tool its executables start by an absolute path comes from a package it depends on or
#     recommends (or an essential one), that every library they link resolves, and that its
#     systemd user units pass systemd-analyze verify where they are installed;
#  4. as the unprivileged user brimo-tester (made when missing), with private XDG folders,
#     starts the installed BrimoService, waits for its socket, asks the installed brimoctl for
#     the version (it must be the package's) and stops the service, which must exit 0;
#  5. purges the package and checks that nothing of it is left: the folders it installs into
#     list what they listed before, and the packages apt pulled in for it are purged again.
# It refuses to run when the package is already installed (it would remove it). No process it
# started outlives it.
# Environment: BRIMO_PACKAGE_BUILD_DIR (build-package under the project), BRIMO_BUILD_NUMBER
# (the build's cached one when unset), BRIMO_PACKAGE_JOBS (the number of processors).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${BRIMO_PACKAGE_BUILD_DIR:-$root/build-package}")
jobs=${BRIMO_PACKAGE_JOBS:-$(nproc)}
user=brimo-tester
package=brimo
socket_name=Ozm.Tarvel.Mac.XPC
# The targets whose files the package installs.
targets=(Brimo BrimoService Brimofs brimoctl brimo-launchctl mount.brimo umount.brimo)

say() { echo "package-check: $*"; }
fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}

((EUID == 0)) || fail "run as root (it installs and purges the package)"
for other in "$root/build" "$root/build-release"; do
  [[ $build != "$(realpath -m "$other")" ]] || fail "$build is another job's build tree"
done
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
  fail "$package is installed already; this check would remove it"
fi

work=$(mktemp -d /tmp/brimo-package-check.XXXXXX)
chmod 0755 "$work"
service_pid=
runuser_pid=
installed=
bundle=
packages_before=

# Processes running an executable of the installed bundle: only this check runs it (it refuses to
# run while the package is installed).
bundle_pids() {
  local link
  [[ -n $bundle ]] || return 0
  for link in /proc/[0-9]*/exe; do
    [[ $(readlink "$link" 2>/dev/null) == "$bundle"/* ]] && { link=${link#/proc/}; echo "${link%/exe}"; }
  done
  return 0
}

cleanup() {
  local status=$? pid
  set +e
  if [[ -n $service_pid ]] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$service_pid" 2>/dev/null
  fi
  if [[ -n $runuser_pid ]]; then
    kill -TERM "$runuser_pid" 2>/dev/null
    wait "$runuser_pid" 2>/dev/null
  fi
  for pid in $(bundle_pids); do kill -KILL "$pid" 2>/dev/null; done
  if [[ -n $installed ]]; then
    say "removing the package again"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package" >/dev/null 2>&1
  fi
  [[ -z $packages_before ]] || purge_pulled || { ((status)) || status=1; }
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

installed_packages() { dpkg-query -W -f='${db:Status-Status} ${Package}\n' | sed -n 's/^installed //p' | sort; }
# Purges what apt pulled in for the package (everything installed since packages_before),
# leaving the machine's packages as they were.
purge_pulled() {
  local pulled
  mapfile -t pulled < <(comm -13 "$packages_before" <(installed_packages))
  packages_before=
  ((${#pulled[@]})) || return 0
  say "purging what the package pulled in: ${pulled[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${pulled[@]}" >"$work/purge-pulled.log" 2>&1 ||
    { cat "$work/purge-pulled.log" >&2; echo "package-check: could not purge ${pulled[*]}" >&2; return 1; }
}

# 1. Build and pack.
start=$SECONDS
number_option=()
[[ -z ${BRIMO_BUILD_NUMBER:-} ]] || number_option=(-DBRIMO_BUILD_NUMBER="$BRIMO_BUILD_NUMBER")
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER="$(command -v ccache)")
  say "building ${targets[*]} into $build (Release, with ccache)"
else
  say "building ${targets[*]} into $build (Release, no ccache)"
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIMO_SANITIZE=OFF \
  -DBRIMO_TESTS=OFF -DBRIMO_BENCH=OFF "${launcher[@]}" "${number_option[@]}" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "configure"; }
ninja -C "$build" -j "$jobs" --quiet "${targets[@]}" >"$work/build.log" 2>&1 ||
  { tail -n 60 "$work/build.log" >&2; fail "build"; }
say "built in $((SECONDS - start)) s"

rm -rf "$build/packages"
cpack --config "$build/CPackConfig.cmake" -G DEB >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
rm -rf "$build/packages/_CPack_Packages"
debs=("$build"/packages/"$package"_*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
  fail "cpack made no single $package .deb: ${debs[*]}"
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
[[ $(dpkg-deb -f "$deb" Package) == "$package" ]] || fail "$deb is not package $package"
say "made $(basename "$deb") (version $version)"

# 2. The package as files: desktop entries and lintian.
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
mapfile -t entries < <(find "$tree/usr/share/applications" -name '*.desktop' 2>/dev/null)
((${#entries[@]})) || fail "the package holds no desktop entry"
for entry in "${entries[@]}"; do
  # It exits 0 after warnings and hints: those count too.
  validation=$(desktop-file-validate "$entry" 2>&1) || validation+=$'\n(exit status not 0)'
  [[ -z $validation ]] || { echo "$validation" >&2; fail "desktop-file-validate ${entry#"$tree"}"; }
  say "desktop entry ${entry#"$tree"} is valid"
done
lintian_log=$work/lintian.log
lintian --fail-on error "$deb" >"$lintian_log" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$lintian_log" | sed 's/^/  /' || true
((${lintian_status:-0} == 0)) || fail "lintian found errors (status $lintian_status)"
say "lintian: no errors"

# The folders the package installs into, each with what it lists: compared after the purge.
mapfile -t package_dirs < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./\(.*[^/]\)/$|/\1|p')
snapshot() {
  local dir
  for dir in / "${package_dirs[@]}"; do
    [[ -d $dir ]] && find "$dir" -mindepth 1 -maxdepth 1 -printf '%p %y %m\n'
  done | sort
  find /var/lib/dpkg/info -name "$package.*" -o -name "$package:*" | sort
}
snapshot >"$work/before.txt"

# 3. Install through apt, which resolves the dependencies.
packages_before=$work/packages-before.txt
installed_packages >"$packages_before"
say "installing with apt-get (pulls the dependencies)"
cp "$deb" "$work/"
installed=yes
apt-get update -qq >"$work/update.log" 2>&1 || { cat "$work/update.log" >&2; fail "apt-get update"; }
(cd "$work" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$(basename "$deb")") \
  >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt-get install"; }
[[ $(dpkg-query -W -f='${Version}' "$package") == "$version" ]] || fail "$package $version is not installed"
mapfile -t pulled < <(comm -13 "$packages_before" <(installed_packages) | grep -vx "$package" || true)
say "installed; apt pulled in ${#pulled[@]} packages${pulled[*]:+: ${pulled[*]}}"

# Every file the package holds is in place.
while read -r path; do
  [[ -e $path || -L $path ]] || fail "$path of the package is missing after install"
done < <(dpkg -L "$package")

# Every ELF file of the package: its libraries resolve, and each tool it names by an absolute path
# comes from a package it declares (or an essential one, which every system has).
declared=" $(dpkg-deb -f "$deb" Depends Recommends | sed 's/^[A-Za-z-]*://' | tr ',|\n' '   ' |
  sed 's/([^)]*)//g' | tr -s ' ') "
mapfile -t elves < <(dpkg -L "$package" | while read -r path; do
  [[ -f $path ]] && [[ $(head -c 4 "$path" | od -An -c | tr -d ' ') == '177ELF' ]] && echo "$path"
done)
((${#elves[@]})) || fail "the package holds no executables"
for elf in "${elves[@]}"; do
  if ldd "$elf" | grep 'not found'; then fail "$elf links a library that is not installed"; fi
done
tool_paths() { grep -oE '(^|[^A-Za-z0-9_./-])/(usr/)?s?bin/[A-Za-z0-9_.+-]+' | sed 's|^[^/]*||'; }
# The string literals of the sources the executables are built from name every tool, whole; the
# executables' own strings add any from elsewhere, though the compiler splits some literals into
# pieces that name nothing (those are left out: only existing files count from there).
mapfile -t scripts_in_package < <(dpkg -L "$package" | while read -r path; do
  [[ -f $path && $(head -c 2 "$path") == '#!' ]] && echo "$path"; done)
mapfile -t tools < <({
  grep -rhoE '"[^"]*"' "$root/app" "$root/service" "$root/extension" "$root/shared" \
    --include='*.cpp' --include='*.h' | tool_paths
  strings -a "${elves[@]}" | tool_paths | while read -r path; do [[ ! -f $path ]] || echo "$path"; done
  ((${#scripts_in_package[@]} == 0)) || cat "${scripts_in_package[@]}" | tool_paths
} | sort -u)
((${#tools[@]})) || fail "found no tool paths in the sources or executables"
for tool in "${tools[@]}"; do
  owner=
  # The dpkg database still names /bin and /sbin for what merged /usr has in /usr/bin too.
  for candidate in "$tool" "${tool#/usr}" "/usr$tool"; do
    owner=$(dpkg-query -S "$candidate" 2>/dev/null | grep -v '^diversion by' | head -n 1 | cut -d: -f1) || true
    [[ -z $owner ]] || break
  done
  [[ -n $owner ]] || fail "$tool, started by the package, comes from no installed package"
  essential=$(dpkg-query -W -f='${Essential}' "$owner")
  if [[ $declared != *" $owner "* && $essential != yes ]]; then
    fail "$tool comes from $owner, which the package neither depends on nor recommends"
  fi
  say "tool $tool: $owner$([[ $essential == yes ]] && echo ' (essential)')"
done

# The user units where they are installed, with the executables they start in place.
mapfile -t units < <(dpkg -L "$package" | grep -E '^/usr/lib/systemd/user/[^/]+\.(service|socket)$')
((${#units[@]})) || fail "the package holds no systemd user units"
mkdir -m 0700 "$work/verify-runtime"
verify_log=$work/verify.log
XDG_RUNTIME_DIR=$work/verify-runtime systemd-analyze --user verify "${units[@]}" >"$verify_log" 2>&1 ||
  { cat "$verify_log" >&2; fail "systemd-analyze verify ${units[*]}"; }
[[ ! -s $verify_log ]] || { cat "$verify_log" >&2; fail "systemd-analyze verify warned"; }
say "systemd-analyze verify: ${units[*]##*/} pass"
for entry in "${entries[@]}"; do
  exec_line=$(sed -n 's/^Exec=//p' "$entry" | head -n 1)
  program=${exec_line%% *}
  [[ $program == /* && -x $program ]] || fail "${entry#"$tree"} starts '$program', which is not installed"
  dpkg -S "$program" >/dev/null 2>&1 || fail "${entry#"$tree"} starts '$program', no package's"
done

# 4. The installed service and brimoctl, as an unprivileged user with folders of its own.
id -u "$user" >/dev/null 2>&1 || { useradd --create-home --shell /bin/bash "$user"; say "made user $user"; }
service=$(dpkg -L "$package" | grep -E '/MacOS/BrimoService$')
brimoctl=$(dpkg -L "$package" | grep -E '/MacOS/brimoctl$')
[[ -x $service && -x $brimoctl ]] || fail "the installed service or brimoctl is missing"
bundle=${brimoctl%/Contents/MacOS/brimoctl}
private=$work/user
install -d -m 0700 -o "$user" -g "$(id -g "$user")" "$private"
for dir in home runtime data config cache state; do
  install -d -m 0700 -o "$user" -g "$(id -g "$user")" "$private/$dir"
done
as_user() {
  runuser -u "$user" -- env -i HOME="$private/home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="$private/runtime" XDG_DATA_HOME="$private/data" \
    XDG_CONFIG_HOME="$private/config" XDG_CACHE_HOME="$private/cache" \
    XDG_STATE_HOME="$private/state" USBMUXD_SOCKET_ADDRESS="UNIX:$private/no-usbmuxd" "$@"
}
say "starting $service as $user"
# shellcheck disable=SC2016 # the user's shell expands them
as_user sh -c 'echo $$ >"$1/service.pid" && exec "$2"' sh "$private" "$service" \
  >"$work/service.log" 2>&1 &
runuser_pid=$!
socket=$private/runtime/$socket_name
for _ in $(seq 200); do
  [[ -z $service_pid && -s $private/service.pid ]] && service_pid=$(<"$private/service.pid")
  [[ -S $socket ]] && break
  kill -0 "$runuser_pid" 2>/dev/null || { cat "$work/service.log" >&2; fail "the service ended at start"; }
  sleep 0.1
done
[[ -S $socket ]] || { cat "$work/service.log" >&2; fail "no socket $socket after 20 s"; }
[[ -n $service_pid ]] || service_pid=$(<"$private/service.pid")
[[ $(stat -c '%U %a' "$socket") == "$user 600" ]] ||
  fail "the socket is $(stat -c '%U %a' "$socket"), not $user's with mode 600"
say "the service listens on $socket"

# The service reports its bundle's build number, which is the package's Debian revision; its
# bundle's short version is the upstream version.
reported=$(as_user timeout 20 "$brimoctl" version 2>"$work/brimoctl.log") ||
  { cat "$work/brimoctl.log" "$work/service.log" >&2; fail "brimoctl version"; }
[[ $reported == "${version##*-}" ]] ||
  fail "brimoctl version printed '$reported', the package is $version (build ${version##*-})"
kill -0 "$service_pid" 2>/dev/null || fail "the service that was started is gone: brimoctl spoke to another"
plist=$(dirname "$(dirname "$service")")/Info.plist
short=$(grep -A1 '<key>CFBundleShortVersionString</key>' "$plist" | sed -n 's|.*<string>\(.*\)</string>.*|\1|p')
[[ $short == "${version%-*}" ]] || fail "the installed bundle is version '$short', the package $version"
say "brimoctl version: $reported (package $version)"

kill -TERM "$service_pid"
service_status=0
for _ in $(seq 100); do kill -0 "$runuser_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$runuser_pid" 2>/dev/null && fail "the service did not end within 10 s of SIGTERM"
wait "$runuser_pid" || service_status=$?
runuser_pid=
service_pid=
((service_status == 0)) || { cat "$work/service.log" >&2; fail "the service exited $service_status on SIGTERM"; }
say "the service stopped (exit 0)"
left=$(bundle_pids)
[[ -z $left ]] || fail "processes of the bundle still run: $(ps -o pid=,user=,args= -p "${left//$'\n'/,}")"

# 5. Purge, and nothing of the package is left: none of its paths that were not there before,
# and, once what apt pulled in for it is purged too, its folders list what they listed before
# (caches a trigger wrote, files made by the package's own scripts).
mapfile -t package_paths < <(dpkg -L "$package" | grep -vx /.)
say "purging $package"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package" >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get purge $package"; }
installed=
package_status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) || true
[[ -z $package_status || $package_status == "unknown ok not-installed" ]] ||
  fail "dpkg still has $package: $package_status"
cut -d' ' -f1 "$work/before.txt" >"$work/before-paths.txt"
for path in "${package_paths[@]}"; do
  [[ ! -e $path && ! -L $path ]] || grep -qxF -- "$path" "$work/before-paths.txt" ||
    fail "$path of the package is still there after the purge"
done
purge_pulled || fail "purging what the package pulled in"
snapshot >"$work/after.txt"
diff "$work/before.txt" "$work/after.txt" >&2 ||
  fail "the purge left these differences (< before install, > after purge)"
say "nothing of $package is left"
say "passed in $((SECONDS - start)) s"
