#!/bin/sh
# Runs a test as an unprivileged user when started as root, so that file
# permissions apply to it. Exit 77: it cannot be done here (skipped).
if [ "$(id -u)" -ne 0 ]; then
    exec "$@"
fi
command -v setpriv >/dev/null 2>&1 || { echo "setpriv is missing"; exit 77; }
as_nobody="setpriv --reuid=nobody --regid=nogroup --clear-groups"
if ! $as_nobody test -x "$1"; then
    echo "the test binary is not reachable by an unprivileged user: $1"
    exit 77
fi
export HOME=/tmp
cd /tmp || exit 77
exec $as_nobody "$@"
