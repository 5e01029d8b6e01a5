#!/bin/sh
# Installs the build to a scratch prefix, as a user would with
# `cmake --install --prefix`, and checks the layout there: the programs
# find the installed library through their run path, and the pkg-config
# file points into that prefix.
#   check-install.sh BUILD_DIR LIBDIR
set -eu
build=$1
libdir=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for f in bin/velkart bin/kav-virtual-reader "$libdir/libKavIDCardAPI.so.1" "$libdir/libKavIDCardAPI.so" \
    include/KavIDCardAPI.h "$libdir/pkgconfig/kavidcard.pc" share/applications/velkart.desktop \
    share/metainfo/org.velkart.velkart.metainfo.xml share/icons/hicolor/scalable/apps/velkart.svg \
    share/icons/hicolor/16x16/apps/velkart.png share/icons/hicolor/256x256/apps/velkart.png \
    share/velkart/cards/ordinary.json; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; status=1; }
done

for program in "$prefix"/bin/velkart "$prefix"/bin/kav; do
    [ -e "$program" ] || continue
    # What ldd does, without ldd: the program's own loader lists what it
    # would load, so a cross-built program run under qemu answers too.
    found=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 "$program" | sed -n 's/.*libKavIDCardAPI\.so\.1 => \(.*\) (0x.*/\1/p')
    if [ -z "$found" ] || [ "$(readlink -f "$found")" != "$(readlink -f "$prefix/$libdir/libKavIDCardAPI.so.1")" ]; then
        echo "$(basename "$program") does not find the installed library: ${found:-not found}" >&2
        status=1
    fi
done

cflags=$(PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs kavidcard)
realprefix=$(cd "$prefix" && pwd -P)
seen=""
for flag in $cflags; do
    case "$flag" in
    -I*) dir=${flag#-I}; seen="$seen I" ;;
    -L*) dir=${flag#-L}; seen="$seen L" ;;
    *) continue ;;
    esac
    # The prefix is relative to the pkg-config file: resolve it.
    resolved=$(cd "$dir" 2>/dev/null && pwd -P) || { echo "pkg-config names $dir, which does not exist" >&2; status=1; continue; }
    case "$resolved" in
    "$realprefix"/*) ;;
    *) echo "pkg-config names $dir, outside the prefix" >&2; status=1 ;;
    esac
done
case "$seen" in
*I*L* | *L*I*) ;;
*) echo "pkg-config gives no -I and -L for the prefix: $cflags" >&2; status=1 ;;
esac
[ "$status" -eq 0 ] && echo "installed layout checked in $prefix"
exit "$status"
