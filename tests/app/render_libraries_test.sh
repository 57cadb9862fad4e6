#!/bin/sh
# plotanix-render starts without the window's, the desktop's, cairo's or
# the label font's libraries: each program a user starts for one file loads
# only what it uses (cairo comes in a module, loaded for a vector copy, and
# FreeType and fontconfig in another, loaded for a label).
# usage: render_libraries_test.sh PROGRAM...
status=0
for program in "$@"; do
    [ -x "$program" ] || continue
    loaded=$(ldd "$program") || { echo "ldd cannot read $program"; exit 1; }
    unwanted=$(printf '%s\n' "$loaded" | grep -Eo 'lib(SDL2|X11|xcb|cairo|wayland|pulse|freetype|fontconfig)[^ ]*' | sort -u)
    if [ -n "$unwanted" ]; then
        echo "$program loads:" $unwanted
        status=1
    fi
done
exit $status
