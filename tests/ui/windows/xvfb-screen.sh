#!/bin/sh
# Runs a window test on a fresh Xvfb server of 1600 x 1000 through the xcb
# platform, with openbox as its window manager (maximising is the window
# manager's), so that it measures what the X server shows; fails naming the
# package of a missing tool.
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: install the package xvfb" >&2; exit 1; }
command -v xauth >/dev/null 2>&1 || { echo "xauth not found: install the package xauth" >&2; exit 1; }
command -v openbox >/dev/null 2>&1 || { echo "openbox not found: install the package openbox" >&2; exit 1; }
command -v xprop >/dev/null 2>&1 || { echo "xprop not found: install the package x11-utils" >&2; exit 1; }
if [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    export QT_QPA_PLATFORM=xcb
    export SALVOR_REQUIRE_X11=1
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1600x1000x24" "$0" "$@"
fi
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
n=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
    n=$((n + 1))
    [ "$n" -le 100 ] || { echo "FAIL: openbox did not start on $DISPLAY" >&2; kill "$wm"; exit 1; }
    sleep 0.1
done
"$@"
rc=$?
kill "$wm" 2>/dev/null
exit "$rc"
