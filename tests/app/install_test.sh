#!/bin/sh
# Installs the build in $1 into a temporary DESTDIR and checks what lands there.
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null
root=$stage/usr/local
for file in bin/plotanix bin/plotanix-render share/man/man1/plotanix.1 \
    share/man/man1/plotanix-render.1 share/doc/plotanix/README.md; do
    [ -s "$root/$file" ] || { echo "missing: $file"; exit 1; }
done
for page in plotanix plotanix-render; do
    text=$(MANWIDTH=80 man --warnings -l "$root/share/man/man1/$page.1" 2>"$stage/warnings")
    [ ! -s "$stage/warnings" ] || { cat "$stage/warnings"; exit 1; }
    echo "$text" | grep -q "EXIT STATUS" || { echo "$page: no EXIT STATUS"; exit 1; }
done
man -l "$root/share/man/man1/plotanix.1" | grep -q "/dev/ttyUSB0"
# The renderer finds its copy module from where it was installed.
printf 'IN;SP1;PD100,100;' >"$stage/plot.hpgl"
"$root/bin/plotanix-render" -q -o "$stage/plot.svg" "$stage/plot.hpgl"
grep -q "<svg" "$stage/plot.svg"
"$root/bin/plotanix" --help | grep -q -- "--port DEVICE"
echo "installed and rendered"
