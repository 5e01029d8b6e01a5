#!/usr/bin/env bash
# Fetches SQLite's sources for the Windows builds from Debian's source
# package (Debian ships no SQLite built for mingw): apt-get source, with a
# deb-src line made from this machine's own apt sources and a private apt
# state, so the system's configuration is left as it is. The build checks
# the tarball against its pinned hash (cmake/sqlite.cmake); this only fetches.
# Prints the folder that holds the tarball.
set -euo pipefail
dest=${1:-$(cd "$(dirname "$0")/.." && pwd)/build/sqlite-source}
mkdir -p "$dest"
if compgen -G "$dest/sqlite3_*.orig.tar.*" >/dev/null; then
    echo "$dest"
    exit 0
fi
state=$dest/apt
mkdir -p "$state/lists/partial" "$state/sources.list.d"
: >"$state/sources.list"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed 's/^Types: *deb$/Types: deb-src/' "$f" >"$state/sources.list.d/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$state/sources.list"
fi
apt_options=(-o Dir::Etc::SourceList="$state/sources.list"
    -o Dir::Etc::SourceParts="$state/sources.list.d"
    -o Dir::State::Lists="$state/lists" -o Debug::NoLocking=1)
apt-get "${apt_options[@]}" update -qq >&2
(cd "$dest" && apt-get "${apt_options[@]}" source --download-only -qq sqlite3 >&2)
rm -rf "$state"
echo "$dest"
