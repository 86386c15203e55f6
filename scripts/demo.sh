#!/usr/bin/env bash
# The main job: a simulated phone on a simulated usbmux daemon (over a modelled USB 2.0 link);
# one link speed-test round against it through the real libusbmuxd; then the bridge service,
# with brimoctl registering as the desktop app and following the phone as it is unplugged and
# plugged in again, and the desktop app Brimo with its tray icon and window on a desktop (a
# virtual one when there is no display) through the phone's states, pictured in each; a file read
# from the phone and one written to it through the service; the drive itself, mounted when the
# phone asks, used with coreutils and ejected; and the service's diagnostics, with brimoctl
# answering the extension's side of them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
source "$root/scripts/lib/desktop.sh"
build=${BRIMO_BUILD_DIR:-$root/build}
sim=$build/peers/phone-sim/brimo-phone-sim
udid=00008030-001A2B3C4D5E6F70

work=$(mktemp -d)
cleanup() {
  mountpoint -q "$work/home/Brimo" 2>/dev/null && fusermount3 -u -z "$work/home/Brimo"
  for pid in ${app_pid:-} ${watch_pid:-} ${service_pid:-} ${sim_pid:-}; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  desktop_stop
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --socket "$work/usbmuxd.sock" --device "$udid" --root "$work/phone" \
  --link-rate usb2 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q ready "$work/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log"; exit 1; }
  sleep 0.1
done
echo "== phone simulator running (USB 2.0 link model), device $udid"

export USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd.sock"
echo "== attached phones (idevice_id -l)"
idevice_id -l
echo "== speed test"
"$build/service/brimo-speedtest"

# The service's socket and data, and the home where the drive appears (~/Brimo), are this run's
# own folders, not the session's.
[[ -z ${DISPLAY:-} ]] || export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
export XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$HOME"
ctl() { "$sim" ctl --control "$work/usbmuxd.sock.control" "$@" >/dev/null; }
brimoctl=$build/Brimo.app/Contents/MacOS/brimoctl

echo "== bridge service"
"$build/Brimo.app/Contents/XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService" &
service_pid=$!
for _ in $(seq 100); do
  [[ -S $XDG_RUNTIME_DIR/Ozm.Tarvel.Mac.XPC ]] && break
  sleep 0.1
done
echo "service version: $("$brimoctl" version)"
"$brimoctl" --role desktopApp watch &
watch_pid=$!
sleep 1
echo "-- unplugging the phone"
ctl detach "$udid"
sleep 1
echo "-- plugging it in again"
ctl attach "$udid"
sleep 1
kill "$watch_pid" 2>/dev/null; wait "$watch_pid" 2>/dev/null || true

echo "== the desktop app"
# The private home's Applications folder holds a copy of the bundle, so that the app stays
# where it is. It runs on the user's desktop, or without a display on a virtual one (Xvfb) with a
# trayer panel as its tray, and goes through the phone's states; in each, its tray menu (on the
# whole screen) and its window are saved as pictures.
mkdir -p "$HOME/Applications"
cp -a "$build/Brimo.app" "$HOME/Applications/"
shots=${BRIMO_SCREENSHOTS:-$(mktemp -d)}
mkdir -p "$shots"
[[ -n ${DISPLAY:-} ]] && echo "-- on this desktop ($DISPLAY)" || echo "-- on a virtual desktop"
desktop_start
QT_QPA_PLATFORM=xcb "$HOME/Applications/Brimo.app/Contents/MacOS/Brimo" 2>"$work/app.log" &
app_pid=$!
app_lines() { sed -n 's/^[a-z]* \[Ozm.Tarvel:App\] //p' "$work/app.log"; }
# Waits until the app's last state line is "state: $1".
wait_state() {
  for _ in $(seq 200); do
    [[ $(app_lines | grep '^state: ' | tail -1) == "state: $1" ]] && return 0
    sleep 0.1
  done
  echo "the app did not get to state: $1"
  app_lines
  return 1
}
# Opens the tray menu. A tray that is not an XEmbed one (KDE's or GNOME's, where the icon is
# no window) is only found on the user's own desktop: there the demo goes on without the menu.
open_menu() {
  [[ -z ${no_tray:-} ]] || return 1
  desktop_tray_click "$app_pid" >/dev/null && return 0
  ((${#desktop_pids[@]} == 0)) || exit 1
  echo "(no XEmbed tray on this desktop: the tray menu is not opened)"
  no_tray=1
  return 1
}
# Saves the window and the open tray menu as $1-window.png and $1-menu.png.
pictures() {
  local window
  window=$(desktop_wait_window Brimo)
  desktop_screenshot "$shots/$1-window.png" "$window"
  if open_menu; then
    desktop_screenshot "$shots/$1-menu.png"
    xdotool key Escape
  fi
}
wait_state "connected=true phone=true drive=false"
echo "-- 1: unplugging the phone"
ctl detach "$udid"
wait_state "connected=true phone=false drive=false"
pictures 1-detached
echo "-- 2: plugging it in again"
ctl attach "$udid"
wait_state "connected=true phone=true drive=false"
pictures 2-attached
echo "-- 3: the phone asks for its drive"
until [[ $("$sim" ctl --control "$work/usbmuxd.sock.control" push "$udid" mount mount) != "OK 0" ]]; do
  sleep 0.1
done
wait_state "connected=true phone=true drive=true"
pictures 3-mounted
echo "-- 4: Eject, from the tray menu"
if open_menu; then
  xdotool key Down Down Down Return
else
  dbus-send --peer="unix:path=$XDG_RUNTIME_DIR/Ozm.Tarvel.Mac.XPC" --print-reply \
    --dest=Ozm.Tarvel.Mac.XPC /Ozm/Tarvel/Bridge Ozm.Tarvel.BridgeHost.Shutdown >/dev/null
fi
wait_state "connected=true phone=true drive=false"
pictures 4-ejected
app_lines
echo "login item: $(grep '^Exec=' "$XDG_CONFIG_HOME/autostart/Ozm.Tarvel.Mac.desktop")"
echo "screenshots: $shots"
ls "$shots"
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true
desktop_stop

echo "== files through the service"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/phone/photo.raw"
"$brimoctl" --role fileProvider read photo.raw --out "$work/photo.raw"
echo "checksums, phone and desktop copy:"
sha256sum "$work/phone/photo.raw" "$work/photo.raw" | cut -c1-64
echo "written on the desktop" >"$work/note.txt"
"$brimoctl" --role fileProvider write note.txt "$work/note.txt"
echo "the phone now has note.txt: $(cat "$work/phone/note.txt")"

echo "== the drive"
mnt=$HOME/Brimo
mounted() { grep -q " $mnt .*fuse.brimo" /proc/self/mountinfo; }
mkdir -p "$work/phone/DCIM"
for i in 1 2 3; do head -c $((i * 1024 * 1024)) /dev/urandom >"$work/phone/DCIM/IMG_000$i.JPG"; done
echo "-- the phone asks for its drive"
until [[ $("$sim" ctl --control "$work/usbmuxd.sock.control" push "$udid" mount mount) != "OK 0" ]]; do
  sleep 0.1
done
for _ in $(seq 100); do mounted && break; sleep 0.1; done
grep " $mnt " /proc/self/mountinfo | awk '{ print "mounted:", $5, "type", $(NF-2), "from", $(NF-1) }'
ls -l "$mnt" "$mnt/DCIM"
echo "-- copy a photo out of the drive"
cp "$mnt/DCIM/IMG_0002.JPG" "$work/IMG_0002.JPG"
sha256sum "$work/phone/DCIM/IMG_0002.JPG" "$work/IMG_0002.JPG" | cut -c1-64
echo "-- a video opens at once: its first and last 4 KiB of 256 MiB, and what crossed the link"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/phone/DCIM/VID_0001.MOV"
served() { "$sim" ctl --control "$work/usbmuxd.sock.control" stats | tr ' ' '\n' | sed -n "s/^$1=//p" | grep . || echo 0; }
chunks=$(served code9) bytes=$(served bytes9)
echo "head: $(head -c 4096 "$mnt/DCIM/VID_0001.MOV" | wc -c) bytes, tail: $(tail -c 4096 "$mnt/DCIM/VID_0001.MOV" | wc -c) bytes"
echo "read chunks the phone served: $(($(served code9) - chunks)), $(($(served bytes9) - bytes)) bytes of 268435456"
echo "-- copy a document into it, rename it, remove a photo"
printf 'Notes from the desktop\n' >"$work/notes.txt"
cp "$work/notes.txt" "$mnt/notes.txt"
mv "$mnt/notes.txt" "$mnt/DCIM/notes-renamed.txt"
rm "$mnt/DCIM/IMG_0001.JPG"
echo "on the phone now:"
(cd "$work/phone" && find . -type f | sort)
echo "-- the phone changes a file by itself and tells the desktop"
stat -c '%n: %s bytes' "$mnt/DCIM/IMG_0003.JPG"
head -c 100 /dev/urandom >>"$work/phone/DCIM/IMG_0003.JPG"
ctl push "$udid" mutation created DCIM/IMG_0003.JPG
sleep 0.5
stat -c '%n: %s bytes' "$mnt/DCIM/IMG_0003.JPG"
echo "-- cp -p keeps a photo's date; its inode number stays the same when it is saved again"
head -c 200000 /dev/urandom >"$work/old.jpg"
touch -d '2001-02-03 04:05:06' "$work/old.jpg"
cp -p "$work/old.jpg" "$mnt/DCIM/old.jpg"
stat -c '%n: %y, inode %i' "$mnt/DCIM/old.jpg"
printf 'x' >>"$mnt/DCIM/old.jpg"
stat -c '%n: inode %i after a save' "$mnt/DCIM/old.jpg"
echo "-- a save the phone refuses is kept, and sent once the phone takes it"
ctl fault "$udid" status 6 7
printf 'Second draft\n' >"$work/draft.txt"
cp "$work/draft.txt" "$mnt/DCIM/notes-renamed.txt" || echo "(cp was told the save failed)"
echo "waiting in the container: $("$brimoctl" kept)"
ctl fault "$udid" clear
for _ in $(seq 100); do [[ -z $("$brimoctl" kept) ]] && break; sleep 0.1; done
echo "on the phone now: $(cat "$work/phone/DCIM/notes-renamed.txt")"
echo "-- the file managers' sidebar lists it (gio mount -l) and ejects it (gio mount -u)"
gio mount -l | grep -A1 "Brimo ->"
noted=$("$sim" ctl --control "$work/usbmuxd.sock.control" noted)
gio mount -u "$mnt"
for _ in $(seq 100); do mounted || break; sleep 0.1; done
mounted && echo "still mounted!" || echo "the drive is unmounted"
for _ in $(seq 100); do
  [[ $("$sim" ctl --control "$work/usbmuxd.sock.control" noted) != "$noted" ]] && break
  sleep 0.1
done
echo "the phone was told (unmount notices: ${noted#OK } before, $("$sim" ctl --control "$work/usbmuxd.sock.control" noted | cut -d' ' -f2) now)"
[[ -e $mnt ]] && echo "$mnt is still there!" || echo "and $mnt is gone from the home again"

echo "== diagnostics through the service"
"$brimoctl" echo
"$brimoctl" --role desktopApp ping desktopApp
"$brimoctl" extping 1000
"$brimoctl" throughput to-ext $((4 * 1024 * 1024)) 16
"$brimoctl" throughput from-ext $((4 * 1024 * 1024)) 16
echo "-- link speed test, run by the service"
"$brimoctl" speedtest
