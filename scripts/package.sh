#!/usr/bin/env bash
# Builds the Debian packages (velkart, libkavidcard1, libkavidcard-dev,
# kav-tools) into build/package/: preset "package", a release build that
# installs to /usr without a run path, then CPack. --arm64 cross-builds the
# same packages for arm64 into build/arm64/ (preset "arm64", which builds the
# tests too, so that they test what is packaged; scripts/test-arm64.sh
# installs the cross tools and runs them).
set -euo pipefail
cd "$(dirname "$0")/.."

preset=package
for arg in "$@"; do
    case "$arg" in
    --arm64) preset=arm64 ;;
    *) echo "usage: scripts/package.sh [--arm64]" >&2; exit 2 ;;
    esac
done

# dpkg-shlibdeps and file: what CPack computes the dependencies with.
scripts/setup.sh dpkg-dev file
if [ "$preset" = arm64 ]; then
    # The flags of Debian's arm64 packages, and dpkg-shlibdeps looking for
    # the libraries in the arm64 folders.
    export DEB_HOST_ARCH=arm64
fi
# Built with the hardening flags of Debian's own packages; configured afresh
# so that they always apply.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS
# Packages of an earlier version must not pass for this one's.
rm -f "build/$preset"/*.deb
cmake --workflow --preset "$preset" --fresh
ls -1 "build/$preset"/*.deb
