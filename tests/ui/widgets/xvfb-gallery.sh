#!/bin/sh
# Runs the widget gallery under a fresh Xvfb server big enough for it; fails
# naming the package of a missing tool.
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: install the package xvfb" >&2; exit 1; }
command -v import >/dev/null 2>&1 || { echo "import not found: install the package imagemagick" >&2; exit 1; }
unset QT_QPA_PLATFORM
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
