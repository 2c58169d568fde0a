#!/usr/bin/env bash
# The release command as maintainers run it, on the commit the source tree is at (HEAD; what is
# not committed is not released). Twice, for the same bytes: once from a fresh clone's root, and
# once as another maintainer would, from another folder by a relative path, in another locale,
# time zone and umask, in a clone of another path's length whose tree released an older commit
# before, that older release signed through a certificate's password. Then once more signed, with a
# throwaway certificate without a password kept inside the tree and named by a relative path, whose
# signatures osslsigncode must accept.
# usage: release_test.sh SOURCE_DIR
set -u
source_dir=$1
. "$(dirname "$0")/../checks.sh"
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
commit=$(git -C "$source_dir" rev-parse HEAD)

# A locale whose collation sorts ostrevane_... before ostrevane-..., unlike C.
mkdir -p "$work/locale"
localedef -i en_US -f UTF-8 "$work/locale/en_US.UTF-8" 2>/dev/null ||
    fail "no en_US.UTF-8 locale could be made (Debian's locales package)"
expect "the locale sorts otherwise than C" \
    "$(printf '%s\n' a-x a_b | LOCPATH=$work/locale LC_ALL=en_US.UTF-8 sort | paste -sd' ')" "a_b a-x"

release() { # release NAME FOLDER COMMAND...: runs it in FOLDER, its output in NAME.log
    local log=$work/$1.log folder=$2
    shift 2
    (cd "$folder" && "$@") >"$log" 2>&1 || { fail "$* in $folder"; tail -n 20 "$log"; finish; }
}
git clone -q "$source_dir" "$work/one"
release one "$work/one" scripts/release
# The older commit's release is signed, with a certificate whose password is given as the README
# says, so that the path of a password is taken too; the signed release below has none.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
    -subj "/CN=Ostrevane test signing" -addext extendedKeyUsage=codeSigning 2>/dev/null ||
    fail "no certificate was made"
two=$work/a-second-clone-of-another-length
git clone -q "$source_dir" "$two"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/locked.p12" \
    -passout pass:'a password; with blanks' || fail "no certificate with a password was made"
git -C "$two" checkout -q HEAD~1 &&
    release older "$two" env OSTREVANE_SIGN_PASSWORD='a password; with blanks' \
        scripts/release --sign "$work/locked.p12"
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1 && echo accepted; }
expect "the older release signed through the certificate's password" \
    "$(verify "$(ls "$two"/build/release/ostrevane-*-x64.exe)")" accepted
git -C "$two" checkout -q "$commit"
release two "$work" env LOCPATH="$work/locale" LC_ALL=en_US.UTF-8 TZ=Pacific/Chatham \
    bash -c 'umask 002 && exec "$0"/scripts/release' "${two#$work/}"

# Everything a release makes is under build/, which git ignores: the trees are as they were.
expect "the releases leave their trees as they found them" \
    "$(git -C "$work/one" status --porcelain)$(git -C "$two" status --porcelain)" ""
one=$work/one/build/release two=$two/build/release
version=$(sed -n 's/^ostrevane-\([0-9.]*\)-x64\.msi$/\1/p' <(ls "$one"))
expect "the five files" "$(ls "$one" | paste -sd' ')" "SHA256SUMS ostrevane-$version-x64.exe \
ostrevane-$version-x64.msi ostrevane-$version-x86.exe ostrevane_${version}_amd64.deb"
expect "the checksums hold" "$(cd "$one" && sha256sum --quiet -c SHA256SUMS && echo yes)" yes
expect "the same bytes, whoever made them and however" "$(cat "$two/SHA256SUMS")" \
    "$(cat "$one/SHA256SUMS")"
expect "the Debian package's folders 0755 under umask 002" \
    "$(dpkg-deb -c "$two/ostrevane_${version}_amd64.deb" | awk '$1 ~ /^d/ { print $1 }' | sort -u)" \
    drwxr-xr-x
grep -q '^unsigned: no certificate was given' "$work/one.log" ||
    fail "an unsigned release does not say so"

# Signed with a throwaway self-signed certificate, kept inside the first clone's tree. It has no
# password, as a certificate kept in a hardware token or a CI secret store often has not.
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" \
    -out "$work/one/throwaway.p12" -passout pass: || fail "no certificate was made"
release signed "$work/one" scripts/release --sign throwaway.p12
for file in ostrevane-$version-x64.exe ostrevane-$version-x86.exe ostrevane-$version-x64.msi; do
    expect "$file signed" "$(verify "$one/$file")" accepted
done
msiextract -C "$work/extracted" "$one/ostrevane-$version-x64.msi" >/dev/null
expect "the MSI holds the signed exe" \
    "$(verify "$(find "$work/extracted" -name ostrevane.exe)")" accepted
# The custom action runs as LocalSystem: where App Control admits only signed DLLs, it must be.
msiinfo extract "$one/ostrevane-$version-x64.msi" Binary.QuoteServicePathDll >"$work/action.dll"
expect "the MSI holds the signed custom action" "$(verify "$work/action.dll")" accepted
expect "the Debian package as before" "$(grep _amd64.deb "$one/SHA256SUMS")" \
    "$(grep _amd64.deb "$two/SHA256SUMS")"
finish
