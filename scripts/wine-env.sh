# Sourced by the scripts that run Windows programs under Wine: checks that
# 32-bit code runs, and gives helpers for a throwaway prefix on a virtual
# display. Every Wine call is bounded by a timeout.

# Where the kernel runs no 32-bit code, QEMU's user-mode emulator runs Wine's
# 32-bit side (scripts/install-deps.sh registers it), with Wine's preloader:
# without it the C library lands in the memory Wine reserves for Windows, and
# each 32-bit process takes about 50 s to start instead of about 2 s.

# The product's names, as the program has them: SORVAN_CLSID,
# SORVAN_SETUP_EXE and SORVAN_COMPONENTS (in the order the setup handles them).
eval "$(/usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/release.py" names)"
[ "${#SORVAN_COMPONENTS[@]}" -eq 4 ] || { echo "could not read the product's names (release.py names)" >&2; return 1; }

sorvan_check_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
  echo "32-bit code does not run here: scripts/install-deps.sh registers QEMU to run it" >&2
  return 1
}

# Starts Xvfb on a free display of its own choosing (-displayfd) and exports
# DISPLAY, with a window manager, without which Wine waits up to 2 s for one
# at every withdrawn window; sets SORVAN_XVFB_PID and SORVAN_WM_PID.
sorvan_start_display() {
  SORVAN_DISPLAY_DIR=$(mktemp -d "${TMPDIR:-/tmp}/sorvan-display.XXXXXX")
  local dir="$SORVAN_DISPLAY_DIR" number=""
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/number" >"$dir/xvfb.log" 2>&1 &
  SORVAN_XVFB_PID=$!
  # The number, and a newline, come once the server accepts clients.
  for _ in $(seq 1 300); do
    if [ "$(wc -l < "$dir/number")" -ge 1 ]; then number=$(head -1 "$dir/number"); break; fi
    if ! kill -0 "$SORVAN_XVFB_PID" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [ -z "$number" ]; then
    echo "Xvfb did not start; it said:" >&2
    sed 's/^/  /' "$dir/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$number"
  openbox --sm-disable >"$dir/openbox.log" 2>&1 &
  SORVAN_WM_PID=$!
  # Ready once it has announced itself on the root window.
  for _ in $(seq 1 300); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    if ! kill -0 "$SORVAN_WM_PID" 2>/dev/null; then
      local status=0
      wait "$SORVAN_WM_PID" || status=$?
      echo "openbox exited with status $status on $DISPLAY; it said:" >&2
      sed 's/^/  /' "$dir/openbox.log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "openbox did not announce itself on $DISPLAY within 30 s; it said:" >&2
  sed 's/^/  /' "$dir/openbox.log" >&2
  return 1
}

# Stops a process this shell started and waits until it has exited: 10 s
# after SIGTERM it is killed.
sorvan_stop_child() {
  local pid="$1" state
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    # A child that has exited stays a zombie until it is waited for.
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || true)
    if [ -z "$state" ] || [ "$state" = Z ]; then break; fi
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Wine's 64-bit loader, for Wine's own 64-bit tools: the "wine" command always
# starts through the 32-bit loader first, which costs time under emulation.
SORVAN_WINE64=/usr/lib/wine/wine64

# Makes a fresh prefix at $WINEPREFIX, with Korean text rendered in a Korean
# font: 64-bit by default (the 32-bit program runs in it under WOW64, as on
# today's Windows), or 32-bit with "win32", as on 32-bit Windows.
sorvan_make_prefix() {
  local arch="${1:-win64}" wine_for_tools="$SORVAN_WINE64"
  [ "$arch" = win32 ] && wine_for_tools=wine
  export WINEARCH="$arch" WINEDEBUG=-all
  # No Mono or Gecko installers: they would ask questions on the display.
  export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
  rm -rf "$WINEPREFIX"
  if ! timeout 900 "$wine_for_tools" wineboot -i >/dev/null 2>&1; then
    echo "wineboot did not make the $arch prefix $WINEPREFIX within 900 s" >&2
    return 1
  fi
  local font
  for font in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "MS Sans Serif" "Microsoft Sans Serif" Gulim; do
    timeout 120 "$wine_for_tools" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d NanumGothic /f \
      >/dev/null 2>&1
  done
}

# Whether the Windows build a script runs is in folder $1; if not, says how to make it.
sorvan_need_windows_build() {
  [ -f "$1/SORVanActiveXSetup.exe" ] && [ -f "$1/tests/wine/wine_driver.exe" ] && return 0
  echo "no Windows build in $1: make it with cmake -S . -B $1 -DCMAKE_BUILD_TYPE=Release" \
    "-DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake && cmake --build $1 -j2" >&2
  return 1
}

# True when this machine runs 32-bit code itself, without QEMU.
sorvan_runs_32bit_natively() {
  [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Puts the stand-in components into folder $2: the control from the Windows
# build in $1 that registers its class, two libraries and a program of the
# tests (the kinds of file the other three are).
sorvan_put_stand_in_components() {
  local build="$1" folder="$2"
  cp "$build/tests/wine/control_good.dll" "$folder/${SORVAN_COMPONENTS[0]}"
  cp "$build/tests/wine/sorvan_dep.dll" "$folder/${SORVAN_COMPONENTS[1]}"
  cp "$build/tests/wine/sorvan_dep.dll" "$folder/${SORVAN_COMPONENTS[2]}"
  # A program that does nothing when started without arguments.
  cp "$build/tests/wine/holder.exe" "$folder/${SORVAN_COMPONENTS[3]}"
}

# Ends the prefix's Wine processes, then the window manager and the X server,
# and returns once all of them have exited.
sorvan_stop_wine() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  if [ -n "${SORVAN_WM_PID:-}" ]; then sorvan_stop_child "$SORVAN_WM_PID"; fi
  if [ -n "${SORVAN_XVFB_PID:-}" ]; then sorvan_stop_child "$SORVAN_XVFB_PID"; fi
  SORVAN_WM_PID="" SORVAN_XVFB_PID=""
  if [ -n "${SORVAN_DISPLAY_DIR:-}" ]; then rm -rf "$SORVAN_DISPLAY_DIR"; fi
}

# Presses Return in window $1, then releases it through XTEST too: when the box
# closes on the press, xdotool sends the release to the closed window, and
# the X server would repeat Return into every window that gets the focus
# next. The server ignores the release of a key that is up.
sorvan_press_return() {
  xdotool key --window "$1" Return 2>/dev/null || true
  xdotool keyup Return 2>/dev/null || true
}

# Runs a command; while it runs, each message box with the product's caption
# is photographed into $1 and dismissed with Return, as a user would. Its
# titles are appended to $1/boxes.txt. Returns the command's status. For a
# single run of the program, which shows one box at most; the tests leave
# their boxes to the driver (sorvan_run_taking_pictures).
sorvan_run_dismissing_boxes() {
  local shots="$1"; shift
  mkdir -p "$shots"
  : > "$shots/boxes.txt"
  "$@" &
  local pid=$! count=0 window title windows
  local -A pressed=()
  while kill -0 "$pid" 2>/dev/null; do
    windows=" $(xdotool search --name '휴대폰 인증서 서비스' 2>/dev/null | tr '\n' ' ') "
    # The X server hands a closed window's id to a later window: a box that
    # has gone is forgotten.
    for window in "${!pressed[@]}"; do
      [[ "$windows" == *" $window "* ]] || unset "pressed[$window]"
    done
    for window in $windows; do
      if [ -n "${pressed[$window]:-}" ]; then
        # Still up long after Return: press it again, but count it once.
        if [ $((SECONDS - pressed[$window])) -ge 10 ]; then
          sorvan_press_return "$window"
          pressed[$window]=$SECONDS
        fi
        continue
      fi
      title=$(xdotool getwindowname "$window" 2>/dev/null || true)
      count=$((count + 1))
      sleep 0.5  # let it paint
      import -window root "$shots/message-$count.png" 2>/dev/null || true
      echo "$title" >> "$shots/boxes.txt"
      sorvan_press_return "$window"
      pressed[$window]=$SECONDS
    done
    sleep 0.3
  done
  wait "$pid"
}
