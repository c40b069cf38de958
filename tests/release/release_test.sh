#!/usr/bin/env bash
# The release command, from the outside: a throwaway certificate authority and
# code-signing certificate, releases made from the stand-in components in the
# Windows build $1, and what a vendor and a browser rely on in them. Leaves a
# signed release and the authority's root in $1/tests/wine for the Wine cases
# (WinVerifyTrust, and the cabinet's hook run as the browser runs it); with
# --for-wine first, makes only those. Passes on a working tree with changes
# not committed: its releases are then marked so, and checked against it.
set -euo pipefail
for_wine=""
[ "${1:-}" != --for-wine ] || { for_wine=1; shift; }
build=$(realpath -m "${1:?usage: release_test.sh [--for-wine] <windows-build-dir>}")
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
sorvan_need_windows_build "$build"
work="$build/release-test"
rm -rf "$work"
mkdir -p "$work/ca" "$work/components"
failures=0 refused=0
fail() { echo "release test: $*"; failures=$((failures + 1)); }
names=("$SORVAN_SETUP_EXE" "${SORVAN_COMPONENTS[@]}")

# --- A throwaway authority and a code-signing certificate it issued; and an
# impostor's, whose root and signer have the same names.
ca="$work/ca"
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" > "$ca/signer.ext"
authority() {  # NAME: NAME-root.pem and NAME-signer.pem in $ca, with their keys
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca/$1-root.key" -out "$ca/$1-root.pem" -days 30 \
    -subj "/CN=SORVan Test Root" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" >/dev/null 2>&1
  openssl req -newkey rsa:2048 -nodes -keyout "$ca/$1-signer.key" -out "$ca/$1.csr" \
    -subj "/CN=SORVan Test Signer" >/dev/null 2>&1
  openssl x509 -req -in "$ca/$1.csr" -CA "$ca/$1-root.pem" -CAkey "$ca/$1-root.key" -CAcreateserial -days 30 \
    -extfile "$ca/signer.ext" -out "$ca/$1-signer.pem" >/dev/null 2>&1
}
authority impostor
openssl pkcs12 -export -inkey "$ca/impostor-signer.key" -in "$ca/impostor-signer.pem" \
  -certfile "$ca/impostor-root.pem" -out "$ca/impostor.p12" -passout pass:
authority vendor
for name in root signer; do
  mv "$ca/vendor-$name.pem" "$ca/$name.pem" && mv "$ca/vendor-$name.key" "$ca/$name.key"
done
mv "$ca/vendor.csr" "$ca/signer.csr"
fingerprint=$(openssl x509 -in "$ca/signer.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
# A copy of the vendor's signer, its names and serial, from the impostor's authority.
openssl x509 -req -in "$ca/impostor.csr" -CA "$ca/impostor-root.pem" -CAkey "$ca/impostor-root.key" -days 30 \
  -set_serial "0x$(openssl x509 -in "$ca/signer.pem" -noout -serial | sed 's/.*=//')" -extfile "$ca/signer.ext" \
  -out "$ca/copycat.pem" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$ca/impostor-signer.key" -in "$ca/copycat.pem" -certfile "$ca/impostor-root.pem" \
  -out "$ca/copycat.p12" -passout pass:
# A password with a space and no line end in the file: both must come through.
password='test pass 1'
printf '%s' "$password" > "$ca/password"
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/signer.pem" -certfile "$ca/root.pem" \
  -out "$ca/signer.p12" -passout "file:$ca/password"
# The same key with an empty password, and without its issuer; and a web
# server's certificate, which has no code-signing purpose.
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/signer.pem" -certfile "$ca/root.pem" \
  -out "$ca/empty.p12" -passout pass:
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/signer.pem" -out "$ca/alone.p12" -passout pass:
: > "$ca/no-password"
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
  "extendedKeyUsage=serverAuth" > "$ca/server.ext"
openssl x509 -req -in "$ca/signer.csr" -CA "$ca/root.pem" -CAkey "$ca/root.key" -CAcreateserial -days 30 \
  -extfile "$ca/server.ext" -out "$ca/server.pem" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/server.pem" -certfile "$ca/root.pem" \
  -out "$ca/server.p12" -passout pass:

# Every release here records this moment, when the test's certificates are
# valid, in place of the commit's time, which may be older than they are.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}
components="$work/components"
sorvan_put_stand_in_components "$build" "$components"
# --dirty: on a clean tree it changes nothing.
package() { "$root/scripts/release.py" make --dirty "$@" 2>&1; }
check() { "$root/scripts/release.py" check "$@" 2>&1; }

# For the Wine cases: a signed release and the root they are to trust.
signed="$work/signed"
hand_to_wine() {
  rm -rf "$build/tests/wine/signed-release"
  cp -r "$signed" "$build/tests/wine/signed-release"
  openssl x509 -in "$ca/root.pem" -outform DER -out "$build/tests/wine/test-root.cer"
}
if [ -n "$for_wine" ]; then
  package "$components" --out "$signed" --pkcs12 "$ca/signer.p12" --password-file "$ca/password" >/dev/null ||
    { echo "release test: the signed release for the Wine cases failed"; exit 1; }
  hand_to_wine
  exit 0
fi

# --- A components folder that is no release: nothing written, the problem named.
# An earlier release, its files stand-ins: a refused run leaves it as it is.
release="$work/release"
mkdir -p "$release/SORVan"
for name in SHA256SUMS BUILDINFO SORVan.cab SORVan.zip SORVanActiveXSetup.exe object.html "${names[@]/#/SORVan/}"; do
  echo "an earlier release" > "$release/$name"
done
release_state() { (cd "$release" && find . -printf '%y %p\n' | LC_ALL=C sort && find . -type f -exec cat {} +); }
earlier=$(release_state)
expect_refused() {  # what, expected text, then make's arguments
  local what="$1" expected="$2" output
  shift 2
  if output=$(package "$@" --out "$release"); then
    fail "$what: made a release"
  elif ! grep -qF "$expected" <<<"$output"; then
    fail "$what: no message saying \"$expected\":"; echo "$output"
  fi
  refused_output="$output"
  refused=$((refused + 1))
  if [ "$(release_state)" != "$earlier" ] || [ -n "$(ls -d "$release".new.* 2>/dev/null)" ]; then
    fail "$what: the release folder was written to"
  fi
}
broken="$work/broken"
cp -r "$components" "$broken" && mv "$broken/SorVanWin32.dll" "$broken/sorvanwin32.dll"
expect_refused "a component named in other case" "SorVanWin32.dll: missing from $broken (or not a regular file); rename sorvanwin32.dll to SorVanWin32.dll" "$broken"
mv "$broken/sorvanwin32.dll" "$broken/SorVanWin32.dll" && cp "$build/tests/wine/control_nounreg.dll" "$broken/LumeTransfer.ocx"
expect_refused "a control without DllUnregisterServer" "LumeTransfer.ocx: does not export DllUnregisterServer" "$broken"
cp "$build/SORVanActiveXSetup.exe" "$broken/LumeTransfer.ocx"
expect_refused "a program as the control" "LumeTransfer.ocx: is not a DLL" "$broken"
# Any 64-bit Windows DLL: one of Wine's own.
cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/ole32.dll "$broken/LumeTransfer.ocx"
expect_refused "a 64-bit control" "LumeTransfer.ocx: is not 32-bit" "$broken"
cp "$components/LumeTransfer.ocx" "$broken/" && : > "$broken/SorVan.dll"
expect_refused "an empty library" "SorVan.dll: is empty" "$broken"
cp "$components/SorVan.dll" "$broken/" && echo "not a program" > "$broken/SorVanUninstall.exe"
expect_refused "a text file as the uninstaller" "SorVanUninstall.exe: is not a Windows program" "$broken"
cp "$components/SorVanUninstall.exe" "$broken/" &&
  cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/ole32.dll "$broken/SorVanWin32.dll"
expect_refused "a 64-bit library" "SorVanWin32.dll: is not 32-bit" "$broken"
cp "$components/SorVanWin32.dll" "$broken/"
expect_refused "a web server's certificate" "the certificate is not one for code signing" "$components" --pkcs12 "$ca/server.p12" \
  --password-file "$ca/no-password"
expect_refused "a time-stamp server that does not answer" "gave no time stamp" "$components" \
  --pkcs12 "$ca/empty.p12" --password-file "$ca/no-password" --timestamp http://127.0.0.1:9/
grep -q -- '"-t"' <<<"$refused_output" && fail "the time-stamp failure gives advice about an option the tool lacks"
expect_refused "a PKCS#12 without its issuer" "alone.p12 holds the signing certificate but not its issuer's (CN=SORVan Test Root)" \
  "$components" --pkcs12 "$ca/alone.p12" --password-file "$ca/no-password"
expect_refused "a signature that does not chain to --ca" "does not chain to $ca/impostor-root.pem" "$components" \
  --pkcs12 "$ca/empty.p12" --password-file "$ca/no-password" --ca "$ca/impostor-root.pem"
# A second run into the folder another run is making a release in (one
# beside it goes ahead: the unsigned release below).
exec 8<"$release" && flock -n 8 || fail "could not hold the release folder's lock"
expect_refused "a second run at the same time" "another release is being made in $release" "$components"
exec 8<&-
expect_refused "a wrong password" "the password does not open $ca/signer.p12" "$components" --pkcs12 "$ca/signer.p12" \
  --password-file "$ca/signer.ext"
[ "$(wc -l <<<"$refused_output")" -eq 1 ] || fail "a wrong password gives more than one line: $refused_output"
# A mistyped --out naming a folder that is no release, even one that holds
# a SHA256SUMS among other things: refused, kept whole.
if package "$components" --out "$broken" >/dev/null || [ "$(ls "$broken" | wc -l)" -ne 4 ]; then
  fail "a release replaced a folder that was no release"
fi
downloads="$work/downloads"
mkdir -p "$downloads/iso" && echo precious > "$downloads/thesis.odt" && echo x > "$downloads/SHA256SUMS" &&
  echo big > "$downloads/iso/debian.iso"
if package "$components" --out "$downloads" >/dev/null || [ ! -f "$downloads/thesis.odt" ] ||
  [ ! -f "$downloads/iso/debian.iso" ]; then
  fail "a release replaced a folder that held a SHA256SUMS and other files"
fi

# --- An unsigned release, in place of the earlier one (through the tool's
# first spelling), and what is in it.
mkdir -p "$signed" && exec 8<"$signed" && flock -n 8 || fail "could not hold a sibling folder's lock"
output=$("$root/scripts/package.sh" "$components" --dirty --out "$release" 2>&1) ||
  { echo "$output"; fail "the unsigned release failed"; }
exec 8<&-
grep -q "UNSIGNED release of LumeTransfer.ocx 2,1,0,7" <<<"$output" || fail "the unsigned release does not say so"
listed=$(gcab -t "$release/SORVan.cab" | sort | tr '\n' ' ')
[ "$listed" = "LumeTransfer.ocx SORVan.inf SORVanActiveXSetup.exe SorVan.dll SorVanUninstall.exe SorVanWin32.dll " ] ||
  fail "the cabinet holds: $listed"
listed=$(zipinfo -1 "$release/SORVan.zip" | tr '\n' ' ')
[ "$listed" = "${names[*]/#/SORVan/} " ] || fail "the zip holds: $listed"
grep -q 'classid="clsid:7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35"' "$release/object.html" &&
  grep -q 'codebase="SORVan.cab#version=2,1,0,7"' "$release/object.html" || fail "object.html names no class or version"
(cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the release"
[ "$(wc -l < "$release/SHA256SUMS")" -eq 10 ] || fail "SHA256SUMS does not list all ten files"
commit=$(git -C "$root" rev-parse HEAD)
if git -C "$root" diff --quiet HEAD --; then
  grep -qx "Dirty: no" "$release/BUILDINFO" || fail "a release of a clean tree is marked dirty"
else
  grep -q "^Dirty: yes" "$release/BUILDINFO" && grep -q "DIRTY" "$release/object.html" ||
    fail "a release of a tree with changes not committed is not marked so"
fi
grep -qx "Commit: $commit" "$release/BUILDINFO" || fail "BUILDINFO does not name the commit $commit"
# The release's program is the build with the SHA-256 of each component
# written after the marker (a 32-byte field, then "present"), and nothing
# changed but those bytes and the image's checksum, so it installs only those.
program="$release/SORVanActiveXSetup.exe"
at=$(grep -obUaF "SORVan component digests, v1" "$program" | cut -d: -f1)
carried=$(od -An -tx1 -v -j $((at + 36)) -N 128 "$program" | tr -d ' \n')
[ "$carried" = "$(for name in "${names[@]:1}"; do sha256sum < "$components/$name" | cut -c1-64; done | tr -d '\n')" ] ||
  fail "the release's program does not carry its components' digests"
[ "$(cmp -l "$program" "$build/SORVanActiveXSetup.exe" | awk -v from=$((at + 33)) -v to=$((at + 164)) \
  '$1 < from || $1 > to' | wc -l)" -le 4 ] || fail "the release's program differs from the build beyond its digests"

# flip FILE OFFSET: one byte of FILE changed.
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $(( byte ^ 1 )))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# --- Signed releases: the password from the environment, then from a file.
again="$work/signed-again"
SORVAN_SIGN_PASSWORD="$password" package "$components" --out "$signed" --pkcs12 "$ca/signer.p12" >/dev/null ||
  fail "the signed release failed"
package "$components" --out "$again" --pkcs12 "$ca/signer.p12" --password-file "$ca/password" >/dev/null ||
  fail "the release signed with a password file failed"
diff -r "$signed" "$again" >/dev/null || fail "two signed releases of one commit differ"
# A certificate whose password is empty, and a caller whose umask keeps
# files private: the release is made, readable by all.
empty="$work/signed-empty"
(umask 077 && SORVAN_SIGN_PASSWORD='' package "$components" --out "$empty" --pkcs12 "$ca/empty.p12" >/dev/null) ||
  fail "a certificate with an empty password could not sign"
modes=$(find "$empty" -mindepth 1 -printf '%m\n' | sort -u | tr '\n' ' ')
[ "$modes" = "644 755 " ] || fail "the release's files and folders have the modes $modes, not 644 and 755"
for name in SORVanActiveXSetup.exe SORVan.cab; do
  file="$signed/$name"
  osslsigncode verify -CAfile "$ca/root.pem" -ignore-crl -in "$file" >/dev/null 2>&1 || fail "$name: signature not verified"
  # One byte changed in the middle of the signed content.
  cp "$file" "$work/tampered-$name"
  flip "$work/tampered-$name" $(( $(stat -c %s "$file") / 3 ))
  if osslsigncode verify -CAfile "$ca/root.pem" -ignore-crl -in "$work/tampered-$name" >/dev/null 2>&1; then
    fail "$name: a changed byte still verifies"
  fi
done
# A certificate without its issuer signs once the chain is given, and the
# release then verifies against the vendor's root.
package "$components" --out "$work/chained" --pkcs12 "$ca/alone.p12" --password-file "$ca/no-password" \
  --chain "$ca/root.pem" --ca "$ca/root.pem" >/dev/null || fail "a PKCS#12 without its issuer did not sign with --chain"

# --- Anyone can check a published release against the source (through the
# tool's first spelling here). The check installs nothing and writes only its
# own scratch: the build folders, the package database and its temporary
# folder are as they were.
build_state() { find "$root/build" -path "$work" -prune -o -printf '%p %s %T@\n' | sort; stat -c %Y /var/lib/dpkg/status; }
before=$(build_state)
mkdir -p "$work/tmp"
# Told whom to trust by neither --ca nor --signer, it compares, names each
# signer, and fails; --reproducible-only compares the bytes alone.
output=$(TMPDIR="$work/tmp" "$root/scripts/package.sh" --check "$signed" 2>&1) &&
  fail "a check that was told whom to trust by neither --ca nor --signer passed"
[ "$(build_state)" = "$before" ] && [ -z "$(ls -A "$work/tmp")" ] || fail "the check wrote outside its scratch folder"
for name in SORVanActiveXSetup.exe SORVan/SORVanActiveXSetup.exe SORVan.zip:SORVan/SORVanActiveXSetup.exe SORVan.cab; do
  grep -qF "$name is signed by CN=SORVan Test Signer (certificate SHA-256 $fingerprint)" <<<"$output" ||
    fail "the check does not say who signed $name: $output"
done
grep -q "give --ca .* and/or --signer" <<<"$output" || fail "an unpinned check does not name --ca and --signer: $output"
grep -q "left out of the release" <<<"$output" && fail "the check reports its own program as left out: $output"
output=$(check "$signed" --reproducible-only) && grep -q "the signer was not checked" <<<"$output" ||
  fail "--reproducible-only: $output"
output=$(check "$signed" --ca "$ca/root.pem" --signer "$fingerprint") ||
  fail "the vendor's release fails its check against the vendor's root and signer: $output"

# forge FILE: the program changed where it vouches for its components, its
# signature kept though it no longer matches, and a second one nested in it
# by the copy of the vendor's signer from another authority.
forge() {
  flip "$1" $(( $(grep -obUaF "SORVan component digests, v1" "$1" | cut -d: -f1) + 40 ))
  osslsigncode sign -nest -pkcs12 "$ca/copycat.p12" -pass "" -h sha256 -in "$1" -out "$1.nested" >/dev/null 2>&1 &&
    mv "$1.nested" "$1" || fail "could not nest a signature in $1"
}
# The top one vouches for the components the release is remade from: its
# bytes compare equal, and only its signature gives it away.
for forged in "SORVanActiveXSetup.exe (its signature)" SORVan/SORVanActiveXSetup.exe; do
  name=${forged%% *}
  rm -rf "$work/forged" && cp -r "$signed" "$work/forged" && forge "$work/forged/$name"
  output=$(check "$work/forged" --ca "$ca/root.pem" --signer "$fingerprint") && fail "a forged $name passed: $output"
  grep -qF "$forged" <<<"$(sed -n 's/.*differs from what this checkout makes of its components: //p' <<<"$output")" ||
    fail "a forged $name is not named as \"$forged\": $output"
done
# Signed while the certificate was valid, checked after it expired: the
# signature is checked at the release's time. One signed after its
# certificate expired is refused.
past_fingerprint=$(/usr/bin/python3 - "$ca" <<'PYTHON'
import datetime, sys
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.hazmat.primitives.asymmetric import rsa
folder, day = sys.argv[1], datetime.timedelta(days=1)
start = datetime.datetime(2024, 3, 1)
def made(name, key, issuer, issuer_key, begin, end, ca):
    builder = x509.CertificateBuilder().subject_name(name).issuer_name(issuer).public_key(key.public_key()) \
        .serial_number(x509.random_serial_number()).not_valid_before(begin).not_valid_after(end) \
        .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
    if not ca:
        builder = builder.add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.CODE_SIGNING]), False)
    return builder.sign(issuer_key, hashes.SHA256())
root_key, key = (rsa.generate_private_key(public_exponent=65537, key_size=2048) for _ in range(2))
root_name = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "SORVan Past Root")])
root = made(root_name, root_key, root_name, root_key, start - 30 * day, start + 30 * day, True)
leaf = made(x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "SORVan Past Signer")]), key, root_name,
            root_key, start, start + 2 * day, False)
open(f"{folder}/past-root.pem", "wb").write(root.public_bytes(serialization.Encoding.PEM))
open(f"{folder}/past.p12", "wb").write(pkcs12.serialize_key_and_certificates(
    b"past", key, leaf, [root], serialization.NoEncryption()))
print(leaf.fingerprint(hashes.SHA256()).hex())
PYTHON
)
past=$(date -d 2024-03-02 +%s)
SOURCE_DATE_EPOCH=$past package "$components" --out "$work/past" --pkcs12 "$ca/past.p12" \
  --password-file "$ca/no-password" >/dev/null || fail "a release signed while its certificate was valid failed"
output=$(check "$work/past" --ca "$ca/past-root.pem" --signer "$past_fingerprint") ||
  fail "a release whose certificate has expired since fails its check: $output"
# Refused with its cause, and without the folder it made for the release.
if output=$(SOURCE_DATE_EPOCH=$((past + 5 * 86400)) package "$components" --out "$work/late" --pkcs12 "$ca/past.p12" \
  --password-file "$ca/no-password"); then fail "a release signed after its certificate expired was made"; fi
grep -qF "the certificate expired on" <<<"$output" || fail "the refusal does not say the certificate expired: $output"
[ ! -e "$work/late" ] || fail "a refused release left the folder it made"
# Through a key on a PKCS#11 token (SoftHSM2's): the same release.
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir -p "$work/tokens" && echo "directories.tokendir = $work/tokens" > "$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label sorvan --pin 1234 --so-pin 123456 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$ca/signer.key" -out "$ca/signer.pk8"
softhsm2-util --import "$ca/signer.pk8" --token sorvan --label signer --id 01 --pin 1234 >/dev/null
SORVAN_SIGN_PASSWORD=1234 package "$components" --out "$work/token" --pkcs11-module /usr/lib/softhsm/libsofthsm2.so \
  --key "pkcs11:token=sorvan;object=signer;type=private" --cert "$ca/signer.pem" --chain "$ca/root.pem" >/dev/null &&
  diff -r "$signed" "$work/token" >/dev/null || fail "the release signed through a PKCS#11 token differs"
# The same release signed by the impostor: intact signatures, the wrong signer.
package "$components" --out "$work/impostor" --pkcs12 "$ca/impostor.p12" --password-file "$ca/no-password" \
  >/dev/null || fail "the impostor's release failed"
# Each of --ca and --signer refuses it on its own account.
output=$(check "$work/impostor" --ca "$ca/root.pem" --signer "$fingerprint") &&
  fail "the impostor's release passes --ca and --signer"
grep -q "the signer of SORVan.cab does not chain to $ca/root.pem" <<<"$output" &&
  grep -q "SORVan.cab is not signed by ${fingerprint//:/}" <<<"$output" || fail "the impostor's release: $output"
# A tool that is missing is named with what installs it; nothing is installed.
mkdir -p "$work/path"
for tool in cmake i686-w64-mingw32-g++ osslsigncode openssl zip git; do ln -sf "$(command -v "$tool")" "$work/path/"; done
printf '#!/bin/sh\ntouch %s/installed\n' "$work" > "$work/path/apt-get" && chmod +x "$work/path/apt-get"
cp "$work/path/apt-get" "$work/path/sudo"
output=$(PATH="$work/path" check "$signed") && fail "the check ran without gcab"
grep -q "missing: gcab; scripts/install-deps.sh installs them" <<<"$output" && [ ! -e "$work/installed" ] ||
  fail "a missing tool: not named, or installed: $output"
# expect_named WHAT NAMES: a copy of the signed release changed by the
# commands that follow, checked: it fails, naming exactly NAMES.
expect_named() {
  local what="$1" expected="$2" named
  if output=$(check "$work/published"); then
    fail "$what: passed its check"
  fi
  named=$(sed -n 's/.*differs from what this checkout makes of its components: //p' <<<"$output")
  [ "$named" = "$expected" ] || fail "$what: the check names \"$named\", not \"$expected\": $output"
  rm -rf "$work/published" && cp -r "$signed" "$work/published"
}
cp -r "$signed" "$work/published"
cp "$work/tampered-SORVan.cab" "$work/published/SORVan.cab"
flip "$work/published/SORVan/SorVan.dll" 1000
flip "$work/published/SORVanActiveXSetup.exe" $(( $(stat -c %s "$signed/SORVanActiveXSetup.exe") - 100 ))
expect_named "a changed cabinet, library and byte in the program's signature" \
  "SORVan/SorVan.dll SORVanActiveXSetup.exe (its signature) SORVan.cab"
flip "$work/published/SORVan.cab" $(( $(stat -c %s "$signed/SORVan.cab") - 100 ))
(cd "$work/published" && sha256sum SORVanActiveXSetup.exe SORVan.cab SORVan.zip object.html BUILDINFO \
  "${names[@]/#/SORVan/}" > SHA256SUMS)
expect_named "a byte changed in the cabinet's signature, the sums made again" "SORVan.cab (its signature)"
# A release of another commit names both and compares nothing.
sed -i "s/^Commit: .*/Commit: 0123456789abcdef0123456789abcdef01234567/" "$work/published/BUILDINFO"
output=$(check "$work/published") && fail "a release of another commit passed its check"
grep -q "was made from 0123456789abcdef0123456789abcdef01234567; this checkout is $commit: check out 0123" <<<"$output" &&
  ! grep -q "differs" <<<"$output" || fail "a release of another commit: $output"
check "$signed" --out "$work/elsewhere" >/dev/null && fail "check took --out"
/usr/bin/python3 "$root/tests/static/check_program.py" "$signed/SORVanActiveXSetup.exe" "$root/res/SORVanActiveXSetup.ico" ||
  fail "the signed program fails the program check"

hand_to_wine

if [ "$failures" -ne 0 ]; then
  echo "release test: $failures failures"
  exit 1
fi
echo "release test: refused $refused wrong inputs; unsigned and signed releases verified, identical when made twice;"
echo "release test: the check names each changed file and signature"
