# What a script needs from Debian's packages, sourced by it: `want` notes each command or file
# with the package that brings it, and `install_wanted` installs only those missing, so a package
# the machine has stays as it is. Without recommends: the recommended libnss-mymachines, say, would
# edit the host's nsswitch.conf.
need=()
want() { # want COMMAND-OR-FILE PACKAGE
    if [[ $1 == /* ]]; then compgen -G "$1" >/dev/null || need+=("$2"); else
        command -v "$1" >/dev/null || need+=("$2"); fi
}
install_wanted() {
    [ ${#need[@]} -gt 0 ] || return 0
    update_package_lists
    install_packages "${need[@]}"
}

# A mirror caught between two syncs serves an index that disagrees with its release file, and
# apt-get update then fails as a whole, though it has read every other index. That is said in one
# line, and what follows installs from what apt has: only an install that fails stops the run.
update_package_lists() {
    local log status=0
    log=$(mktemp)
    apt-get update -q >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "note: apt-get update exited with $status, so some package indexes are old or" \
            "missing; installing from those apt has ($(grep -m 1 '^E: ' "$log" | cut -c 4-))" >&2
    fi
    rm -f "$log"
}

# Installs the packages, or says which could not be installed and apt's own reason, and fails.
install_packages() { # install_packages PACKAGE...
    local log status=0
    log=$(mktemp)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" >"$log" 2>&1 ||
        status=$?
    cat "$log"
    if [ "$status" -ne 0 ]; then
        echo "could not install $*: apt-get exited with $status:" >&2
        grep -E '^(E: | [^ ].* : Depends: )' "$log" | sed 's/^/  /' >&2
    fi
    rm -f "$log"
    return "$status"
}

# Installs a package of the i386 architecture, such as Wine's 32-bit loader, adding the
# architecture for it. Where the package cannot be installed, an architecture added here is
# removed again, so that the machine's later apt-get updates do not fetch its indexes for nothing
# (or fail on them, while a mirror is mid-sync), and the call fails.
install_i386_package() { # install_i386_package PACKAGE
    local added=
    if ! dpkg --print-foreign-architectures | grep -q -x i386; then
        dpkg --add-architecture i386
        added=yes
    fi
    update_package_lists
    install_packages "$1" && return 0
    # dpkg refuses while any package of the architecture is installed.
    if [ -n "$added" ] && dpkg --remove-architecture i386 2>/dev/null; then
        echo "note: the i386 architecture added for $1 was removed again" >&2
        update_package_lists
    fi
    return 1
}
