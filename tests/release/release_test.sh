#!/usr/bin/env bash
# The release command as a maintainer runs it, on the commit the source tree is at (HEAD; what is
# not committed is not released): twice, in two fresh clones at two times, for the same bytes; then
# once more with a throwaway certificate, whose signatures osslsigncode must accept.
# usage: release_test.sh SOURCE_DIR
set -u
source_dir=$1
. "$(dirname "$0")/../checks.sh"
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

release() { # release RUN [ARGS...]: runs scripts/release in the clone RUN, its output in RUN.log
    local run=$1
    shift
    [ -d "$work/$run" ] || git clone -q "$source_dir" "$work/$run"
    (cd "$work/$run" && scripts/release "$@") >"$work/$run.log" 2>&1 ||
        { fail "scripts/release $* in $run"; tail -n 20 "$work/$run.log"; finish; }
}
release one
release two
one=$work/one/build/release two=$work/two/build/release
version=$(sed -n 's/^ostrevane-\([0-9.]*\)-x64\.msi$/\1/p' <(ls "$one"))
expect "the five files" "$(ls "$one" | paste -sd' ')" "SHA256SUMS ostrevane-$version-x64.exe \
ostrevane-$version-x64.msi ostrevane-$version-x86.exe ostrevane_${version}_amd64.deb"
expect "the checksums hold" "$(cd "$one" && sha256sum --quiet -c SHA256SUMS && echo yes)" yes
expect "the same bytes from another folder, later" "$(cat "$two/SHA256SUMS")" \
    "$(cat "$one/SHA256SUMS")"
grep -q '^unsigned: no certificate was given' "$work/one.log" ||
    fail "an unsigned release does not say so"

# Signed with a throwaway self-signed certificate, in the first clone again.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
    -subj "/CN=Ostrevane test signing" -addext extendedKeyUsage=codeSigning 2>/dev/null &&
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
        -passout pass:throwaway || fail "no certificate was made"
OSTREVANE_SIGN_PASSWORD=throwaway release one --sign "$work/cert.p12"
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1 && echo accepted; }
for file in ostrevane-$version-x64.exe ostrevane-$version-x86.exe ostrevane-$version-x64.msi; do
    expect "$file signed" "$(verify "$one/$file")" accepted
done
msiextract -C "$work/extracted" "$one/ostrevane-$version-x64.msi" >/dev/null
expect "the MSI holds the signed exe" \
    "$(verify "$(find "$work/extracted" -name ostrevane.exe)")" accepted
untrusted=$(osslsigncode verify -CAfile /etc/ssl/certs/ca-certificates.crt \
    -in "$one/ostrevane-$version-x64.exe" >/dev/null 2>&1 || echo refused)
expect "not by a certificate nobody trusts" "$untrusted" refused
expect "the Debian package as before" "$(grep _amd64.deb "$one/SHA256SUMS")" \
    "$(grep _amd64.deb "$two/SHA256SUMS")"
finish
