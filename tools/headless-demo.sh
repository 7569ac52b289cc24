#!/usr/bin/env bash
# Without a display Splicora's window cannot open.
echo "Splicora needs a display (no DISPLAY or WAYLAND_DISPLAY is set); the window cannot be shown here." >&2
exit 1
