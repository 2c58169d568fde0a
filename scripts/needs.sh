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
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
}
