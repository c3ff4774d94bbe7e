# Shared by the scripts for native amd64 Debian roots (sourced, not run). The
# first argument is the Debian suite (trixie, sid, ...); the root of suite S is
# build/debian-S/root, made once by make-root and reused by run-tests. They
# work from the repository's top directory.

cd "$(dirname "${BASH_SOURCE[0]}")/../.."

[ $# -ge 1 ] && [[ $1 =~ ^[a-z]+$ ]] || {
    echo "usage: $(basename "$0") SUITE [arguments]  (SUITE: a Debian suite, e.g. trixie or sid)" >&2
    exit 2
}
SUITE=$1
shift
NAME=debian-$SUITE
ROOT=$(realpath -m "build/$NAME/root")
# Where the checkout, the builds and the installed package go, as the root sees it.
WORK=/opt/brenix

say() { echo "$NAME: $*" >&2; }
die() {
    say "$*"
    exit 1
}
. scripts/lib/debian.sh

need_root_tree() {
    [ -f "$ROOT/.brenix-root" ] || die "no complete root at $ROOT: run scripts/debian-root/make-root $SUITE first"
}

# What the tests and apt need from the running system inside the root: /proc
# (thread counts, memory use), /sys (the processor count of NumPy's BLAS) and
# a /dev/shm for multiprocessing's semaphores. Undone on exit.
mount_system() {
    trap unmount_all EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mount_in "$1" proc /proc
    mount_in "$1" sysfs /sys -o ro
    mount_in "$1" tmpfs /dev/shm -o mode=1777
}

# A command in the root with a clean environment: nothing of the host's
# Python setup leaks in.
in_root() {
    chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
