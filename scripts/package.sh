#!/usr/bin/env bash
# Builds the Debian packages (velkart, libkavidcard1, libkavidcard-dev,
# kav-tools) into build/package/: preset "package", a release build that
# installs to /usr without a run path, then CPack.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 0 ]; then
    echo "usage: scripts/package.sh" >&2
    exit 2
fi

# dpkg-shlibdeps and file: what CPack computes the dependencies with.
scripts/setup.sh dpkg-dev file
# Built with the hardening flags of Debian's own packages; configured afresh
# so that they always apply.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS
# Packages of an earlier version must not pass for this one's.
rm -f build/package/*.deb
cmake --workflow --preset package --fresh
ls -1 build/package/*.deb
