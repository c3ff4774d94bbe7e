# Shared by the aarch64 scripts (sourced, not run). They all work from the
# repository's top directory, on one arm64 Debian root.

cd "$(dirname "${BASH_SOURCE[0]}")/../.."

say() { echo "aarch64: $*" >&2; }
die() {
    say "$*"
    exit 1
}
. scripts/lib/debian.sh

# One root per CPython version (AARCH64_PYTHON, default 3.13), of the Debian
# suite that ships it: trixie's (build/aarch64/root) has Python 3.13 and the
# test dependencies, for the development build and the whole suite; sid's
# (build/aarch64-sid/root) has Python 3.14 and NumPy only, for the cp314
# wheel's headers and its smoke test. AARCH64_ROOT puts the root elsewhere.
PYVER=${AARCH64_PYTHON:-3.13}
SUITE=$(debian_suite_for_python "$PYVER")
if [ "$SUITE" = trixie ]; then
    ROOT=build/aarch64/root
else
    ROOT=build/aarch64-$SUITE/root
fi
ROOT=$(realpath -m "${AARCH64_ROOT:-$ROOT}")
# Where the cross-built package goes, as the root sees it (AARCH64_SITE: the
# directory an installed wheel went to instead).
SITE=${AARCH64_SITE:-/opt/brenix/site}

need_root_tree() {
    [ -f "$ROOT/.brenix-root" ] || die "no complete arm64 root at $ROOT: run scripts/aarch64/make-root first"
}

# Lets the kernel hand arm64 programs to qemu, also inside the chroot $1 if
# one is given.
use_binfmt() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64 interpreter
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    grep -qx enabled "$entry" 2>/dev/null || update-binfmts --enable qemu-aarch64
    [ -e "$entry" ] || die "qemu-aarch64 is not registered with binfmt_misc (is qemu-user-static installed?)"
    # With the F flag the kernel opened the interpreter when it was registered;
    # without it, the interpreter is looked up at its path inside the chroot.
    if [ $# -gt 0 ] && ! grep -q '^flags:.*F' "$entry"; then
        interpreter=$(sed -n 's/^interpreter //p' "$entry")
        install -D "$(readlink -f "$interpreter")" "$1$interpreter"
    fi
}
