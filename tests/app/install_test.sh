#!/bin/sh
# make install PREFIX=/usr DESTDIR=... and the Debian package, both from the
# operator's build (source folder $1, build folder $2): the same files land
# in both, the programs stripped, the man pages compressed and rendered
# without a warning, the service's unit starting the installed program and
# hardened, and lintian finds no error in the package.
set -eu
source=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

files='etc/default/plotanix
usr/bin/plotanix
usr/bin/plotanix-render
usr/lib/modules-load.d/plotanix.conf
usr/lib/plotanix/plotanix-render-copies.so
usr/lib/plotanix/plotanix-render-fonts.so
usr/lib/plotanix/plotanix-render-print.so
usr/lib/systemd/system/plotanix-net@.service
usr/lib/systemd/system/plotanix@.service
usr/share/doc/plotanix/README.md
usr/share/doc/plotanix/changelog.gz
usr/share/doc/plotanix/copyright
usr/share/man/man1/plotanix-render.1.gz
usr/share/man/man1/plotanix.1.gz'

fail() {
    echo "$*"
    exit 1
}

# Run as the shell command it is, not as a part of the make that runs the tests.
quietly() {
    "$@" >"$work/log" 2>&1 || { cat "$work/log"; fail "failed: $*"; }
}

# The README's topics go beside it, whichever they are.
topics=$(cd "$source" && ls docs/*.md | sed 's|^|usr/share/doc/plotanix/|')

same_files() {
    printf '%s\n%s\n' "$files" "$topics" | sort >"$work/expected"
    diff -u "$work/expected" "$2" || fail "$1: not the expected files"
}

# make install
stage=$work/stage
quietly env -u MAKEFLAGS -u MAKELEVEL make -C "$source" install PREFIX=/usr DESTDIR="$stage" BUILD="$build"
(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed"
same_files "make install" "$work/installed"
for program in plotanix plotanix-render; do
    ! readelf -S "$stage/usr/bin/$program" | grep -q '\.debug_' || fail "$program is not stripped"
done
unit=$stage/usr/lib/systemd/system/plotanix@.service
grep -qx 'ExecStart=/usr/bin/plotanix --unattended --port /dev/%I --dir /var/lib/plotanix/%I' "$unit" ||
    fail "the unit does not start /usr/bin/plotanix: $(grep ExecStart "$unit")"
systemd-analyze security --offline=true --threshold=20 "$unit" >"$work/security" 2>&1 ||
    fail "the unit's exposure is over 2.0: $(tail -n 1 "$work/security")"
net=$stage/usr/lib/systemd/system/plotanix-net@.service
grep -qx 'ExecStart=/usr/bin/plotanix --unattended --port %I --dir /var/lib/plotanix/%I' "$net" ||
    fail "the network unit does not start /usr/bin/plotanix: $(grep ExecStart "$net")"
systemd-analyze security --offline=true --threshold=20 "$net" >"$work/security" 2>&1 ||
    fail "the network unit's exposure is over 2.0: $(tail -n 1 "$work/security")"
for page in plotanix plotanix-render; do
    text=$(MANWIDTH=80 man --warnings -l "$stage/usr/share/man/man1/$page.1.gz" 2>"$work/warnings")
    [ ! -s "$work/warnings" ] || { cat "$work/warnings"; exit 1; }
    echo "$text" | grep -q "EXIT STATUS" || fail "$page: no EXIT STATUS"
done
man -l "$stage/usr/share/man/man1/plotanix.1.gz" | grep -q "/dev/ttyUSB0" || fail "no /dev/ttyUSB0 in plotanix(1)"
"$stage/usr/bin/plotanix" --help | grep -q -- "--port DEVICE" || fail "plotanix --help"
grep -q 'EnvironmentFile=-/etc/plotanix/%I.conf' "$unit" || fail "the unit reads no settings of its own"
grep -q '^#PLOTANIX_DATABITS=8$' "$stage/etc/default/plotanix" || fail "no commented default settings"
! grep -rn 'build/plotanix\( \|-render\)' "$stage/usr/share/doc/plotanix" ||
    fail "the installed README or docs name the build's programs"
grep -q '^    plotanix /dev/ttyUSB0' "$stage/usr/share/doc/plotanix/README.md" ||
    fail "the installed README does not name the installed program"

# make install into the home folder: the user's unit where systemd looks, nothing in /etc
home=$work/home
quietly env -u MAKEFLAGS -u MAKELEVEL HOME="$home" make -C "$source" install PREFIX="$home/.local" BUILD="$build"
user_unit=$home/.local/share/systemd/user/plotanix@.service
grep -qx "ExecStart=$home/.local/bin/plotanix --unattended --port /dev/%I --dir %S/plotanix/%I" "$user_unit" ||
    fail "no user unit starting the installed program"
[ ! -e "$home/.local/lib/systemd" ] && [ ! -e "$home/.local/etc" ] ||
    fail "a system unit or settings in the home folder"
# The renderer finds its copy module where it was installed.
printf 'IN;SP1;PD100,100;' >"$work/plot.hpgl"
"$stage/usr/bin/plotanix-render" -q -o "$work/plot.svg" "$work/plot.hpgl" || fail "plotanix-render -o plot.svg"
grep -q "<svg" "$work/plot.svg" || fail "no SVG from the installed renderer"

# make deb
quietly cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb"
deb=$(ls "$work"/deb/plotanix_*.deb)
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | sort >"$work/packaged"
same_files "the package" "$work/packaged"
depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libncursesw6 libpng16-16 adduser hershey-fonts-data; do
    echo "$depends" | grep -q "\\b$package\\b" || fail "the package does not depend on $package: $depends"
done
lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || { cat "$work/lintian"; fail "lintian found errors"; }
echo "installed, packaged and checked"
