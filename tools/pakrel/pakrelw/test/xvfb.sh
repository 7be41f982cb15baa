#!/bin/sh
# Runs a command on a virtual X server of its own (screen 800x600, 24 bit), or
# skips (77) where there is none.
set -eu
command -v xvfb-run >/dev/null || { echo "xvfb-run missing: skipped"; exit 77; }
command -v wine >/dev/null || { echo "wine missing: skipped"; exit 77; }
exec xvfb-run -a -s "-screen 0 800x600x24 -nolisten tcp" "$@" </dev/null
