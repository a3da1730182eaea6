#!/bin/sh
# Runs a window test on a fresh Xvfb server of 1600 x 1000 through the xcb
# platform, so that it measures what the X server shows; fails naming the
# package of a missing tool.
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: install the package xvfb" >&2; exit 1; }
command -v xauth >/dev/null 2>&1 || { echo "xauth not found: install the package xauth" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb
export SALVOR_REQUIRE_X11=1
exec xvfb-run -a -s "-screen 0 1600x1000x24" "$@"
