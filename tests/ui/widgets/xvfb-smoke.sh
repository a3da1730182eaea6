#!/bin/sh
# Runs a program under a fresh Xvfb server (X11 required: SALVOR_REQUIRE_X11); fails naming the package of a missing tool.
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: install the package xvfb" >&2; exit 1; }
command -v import >/dev/null 2>&1 || { echo "import not found: install the package imagemagick" >&2; exit 1; }
unset QT_QPA_PLATFORM
export SALVOR_REQUIRE_X11=1
exec xvfb-run -a -s "-screen 0 800x600x24" "$@"
