# Helpers for the scripts that build and use Debian roots (sourced, not run):
# the arm64 root in scripts/aarch64 and the native ones in scripts/debian-root.
# The sourcing script defines say() and die().

need_superuser() {
    [ "$(id -u)" = 0 ] || die "$(basename "$0") needs root (debootstrap, chroot and mount do)"
}

# The Debian mirror this machine's apt uses (the only one it may reach).
debian_mirror() {
    local file uri
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        for uri in $(awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }
                          /^[ \t]*deb[ \t]/ { sub(/\[[^]]*\]/, ""); print $2 }' "$file"); do
            if [[ $uri =~ /debian/?$ ]]; then
                echo "$uri"
                return
            fi
        done
    done
    echo http://deb.debian.org/debian
}

# Fails if anything is mounted at or below $1, so that nothing ever deletes
# through a mount into the host's own /proc.
nothing_mounted_under() {
    local dir
    dir=$(realpath -m "$1")
    if awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/mounts; then
        die "something is still mounted under $dir; unmount it first"
    fi
}

# Mounts under a root are recorded here and undone, last first, by
# unmount_all, which the scripts run on exit whatever happened.
MOUNTED=()
mount_in() {
    local root=$1 type=$2 target=$3
    shift 3
    nothing_mounted_under "$root$target"
    mkdir -p "$root$target"
    mount -t "$type" "$@" "$type" "$root$target"
    MOUNTED=("$root$target" "${MOUNTED[@]}")
}
unmount_all() {
    local target
    for target in "${MOUNTED[@]}"; do
        umount "$target" 2>/dev/null || umount --lazy "$target"
    done
    MOUNTED=()
}

# Installs the host packages named, only those missing.
host_packages() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f '${Status}\n' "$package" 2>/dev/null | grep -qx 'install ok installed' || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing ${missing[*]}"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# The Debian suite whose python3.X is the CPython version $1: the roots of
# that suite give the headers of wheels for it and run their tests.
debian_suite_for_python() {
    case $1 in
        3.13) echo trixie ;;
        3.14) echo sid ;;
        *) die "no Debian suite is known to ship Python $1" ;;
    esac
}
