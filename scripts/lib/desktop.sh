# shellcheck shell=bash
# Sourced by the demo and the benchmarks: a desktop for the app Brimo to show its tray icon and
# window on, and the few things a person does there (find a window, click the tray icon, press
# keys, look at the screen). Without DISPLAY, desktop_start makes one: Xvfb with a trayer panel
# as its system tray; with DISPLAY set, the user's own desktop and tray are used as they are.
# Waits are bounded polls; a function that gives up says why on stderr and returns 1.

desktop_pids=()
desktop_dir=
desktop_bus=

# Starts Xvfb (1280x800, 24 bits) on a free display and trayer at the top right, 32 px high,
# and exports DISPLAY once trayer's panel is on screen. Does nothing when DISPLAY is set.
desktop_start() {
  [[ -z ${DISPLAY:-} ]] || return 0
  desktop_dir=$(mktemp -d)
  # Without -noreset the server resets when its last client leaves, failing those that are
  # connecting at that moment.
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset \
    3>"$desktop_dir/display" >"$desktop_dir/xvfb.log" 2>&1 &
  desktop_pids+=($!)
  local _
  for _ in $(seq 100); do
    [[ -s $desktop_dir/display ]] && break
    kill -0 "${desktop_pids[0]}" 2>/dev/null || break
    sleep 0.1
  done
  if ! [[ -s $desktop_dir/display ]]; then
    echo "desktop: Xvfb did not start:" >&2
    cat "$desktop_dir/xvfb.log" >&2
    return 1
  fi
  DISPLAY=:$(<"$desktop_dir/display")
  export DISPLAY
  # A plain desktop colour rather than black (display reports failure after setting it).
  display -window root -size 1280x800 xc:'#4f6d87' 2>/dev/null || true
  # No desktop bus here: the app's tray icon goes to trayer, not to a bus-based tray elsewhere.
  desktop_bus=${DBUS_SESSION_BUS_ADDRESS:-}
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$desktop_dir/no-session-bus
  trayer --edge top --align right --widthtype request --height 32 --heighttype pixel \
    --SetDockType true --SetPartialStrut true --transparent false \
    >"$desktop_dir/trayer.log" 2>&1 &
  desktop_pids+=($!)
  for _ in $(seq 100); do
    [[ -n $(xdotool search --onlyvisible --classname '^panel$' 2>/dev/null) ]] && return 0
    sleep 0.1
  done
  echo "desktop: trayer's panel did not appear:" >&2
  cat "$desktop_dir/trayer.log" >&2
  return 1
}

# Ends what desktop_start started; safe to call again, and when it started nothing.
desktop_stop() {
  local pid i
  for ((i = ${#desktop_pids[@]} - 1; i >= 0; i--)); do
    pid=${desktop_pids[i]}
    if kill "$pid" 2>/dev/null; then wait "$pid" 2>/dev/null || true; fi
  done
  if ((${#desktop_pids[@]})); then
    unset DISPLAY
    unset DBUS_SESSION_BUS_ADDRESS
    [[ -z $desktop_bus ]] || export DBUS_SESSION_BUS_ADDRESS=$desktop_bus
  fi
  desktop_pids=()
  [[ -z $desktop_dir ]] || rm -rf "$desktop_dir"
  desktop_dir=
  return 0
}

# Prints the id of a mapped window titled exactly TITLE (a regular expression) once there is
# one, waiting up to SECONDS (20).
desktop_wait_window() {
  local title=$1 tries=$((${2:-20} * 10)) window
  for ((; tries > 0; tries--)); do
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1)
    [[ -n $window ]] && echo "$window" && return 0
    sleep 0.1
  done
  echo "desktop: no window titled \"$title\"" >&2
  return 1
}

# The mapped windows of process PID that bypass the window manager, as decimal ids: with KIND
# "icon" those a tray took in (its tray icon), with "menu" the popups on the root window other
# than tooltips (its open menus).
_desktop_bypassing_windows() {
  local pid=$1 kind=$2 top window
  top=$(xwininfo -root -children | awk '/^ +0x/ { print $1 }' | xargs printf '%d\n')
  for window in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
    xwininfo -id "$window" 2>/dev/null | grep -q 'Override Redirect State: yes' || continue
    if ! grep -qx "$window" <<<"$top"; then
      [[ $kind == icon ]] && echo "$window"
    elif [[ $kind == menu ]] && ! xprop -id "$window" _NET_WM_WINDOW_TYPE | grep -q TOOLTIP; then
      echo "$window"
    fi
  done
  return 0
}

# Clicks the tray icon of process PID (in an XEmbed tray such as trayer) once no menu of it is
# open, and prints the id of the menu it pops up once that is mapped. The click lands on the
# half of the icon away from the pointer: two quick clicks on one spot make a double click.
desktop_tray_click() {
  local pid=$1 icon='' window='' _ x X Y WIDTH HEIGHT
  for _ in $(seq 100); do
    icon=$(_desktop_bypassing_windows "$pid" icon | head -1)
    [[ -n $icon && -z $(_desktop_bypassing_windows "$pid" menu) ]] && break
    icon=
    sleep 0.1
  done
  if [[ -z $icon ]]; then
    echo "desktop: process $pid has no icon in an XEmbed tray, or a menu stays open" >&2
    return 1
  fi
  eval "$(xdotool getwindowgeometry --shell "$icon" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  x=$((X + WIDTH / 4))
  (($(xdotool getmouselocation | sed 's/^x:\([0-9]*\) .*/\1/') < X + WIDTH / 2)) &&
    x=$((X + WIDTH * 3 / 4))
  xdotool mousemove "$x" $((Y + HEIGHT / 2)) click 1
  for _ in $(seq 100); do
    window=$(_desktop_bypassing_windows "$pid" menu | head -1)
    [[ -n $window ]] && echo "$window" && return 0
    sleep 0.1
  done
  echo "desktop: no menu came up on clicking the tray icon of process $pid" >&2
  return 1
}

# Saves the root window, or WINDOW, as an 8-bit palette PNG FILE. The picture is taken again
# until two in a row agree, so that a window still drawing itself is not caught half done.
desktop_screenshot() {
  local file=$1 window=${2:-root} previous=
  for _ in $(seq 20); do
    import -silent -window "$window" -strip -define png:exclude-chunks=date,time -colors 256 \
      "PNG8:$file" || return 1
    [[ -n $previous ]] && cmp -s "$previous" "$file" && rm -f "$previous" && return 0
    previous=$file.previous
    mv "$file" "$previous"
  done
  mv "$previous" "$file"
  echo "desktop: $file kept changing; saved the last picture" >&2
}
