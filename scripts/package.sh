#!/usr/bin/env bash
# Makes a release from the vendor's four components: the program (signed when
# a certificate is given), a folder and a zip for the manual download, a
# code-download cabinet for the web page, the page's <object> tag and the
# files' SHA-256 sums. Installs what is missing, as the other scripts do.
#
#   scripts/package.sh COMPONENTS_DIR [options]
#   scripts/package.sh --check RELEASE_DIR
#
#   --out DIR              where the release goes (default build/release)
#   --pkcs12 FILE          sign with this certificate and key; the password
#                          comes from SORVAN_SIGN_PASSWORD or --password-file
#   --password-file FILE   the PKCS#12 password, in a file
#   --pkcs11-module FILE   sign with a hardware token through this PKCS#11
#   --key ID --cert CERT   module: the key's PKCS#11 URI, and the certificate
#                          (a file, or a PKCS#11 URI); the token's PIN, if
#                          it needs one, comes as the password does
#   --timestamp URL        an RFC 3161 time-stamp server
#   --dirty                make the release from a working tree with changes
#                          that are not committed, and say so in it
#   --check RELEASE_DIR    checks a published release against this checkout:
#                          remade from its own components, it must be the
#                          same, byte for byte, signatures aside
#
# Two releases of one commit from the same components and certificate are
# byte-identical (without a time stamp, which carries a random nonce): every
# recorded time is the commit's time, or SOURCE_DATE_EPOCH when it is set.
# On any error the release folder is left as it was.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/product.sh"
# Every file of a release is readable by all, whatever the caller's umask.
umask 022

usage() {
  sed -n '7,23p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
fail() { echo "package: $*" >&2; exit 1; }

components="" check="" out="$root/build/release" out_given="" pkcs12="" password_file="" module="" key="" cert=""
timestamp="" dirty=""
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="${2:?--out needs a folder}"; out_given=1; shift 2 ;;
    --dirty) dirty=1; shift ;;
    --check) check="${2:?--check needs a release folder}"; shift 2 ;;
    --pkcs12) pkcs12="${2:?--pkcs12 needs a file}"; shift 2 ;;
    --password-file) password_file="${2:?--password-file needs a file}"; shift 2 ;;
    --pkcs11-module) module="${2:?--pkcs11-module needs a file}"; shift 2 ;;
    --key) key="${2:?--key needs a PKCS#11 URI}"; shift 2 ;;
    --cert) cert="${2:?--cert needs a file or a PKCS#11 URI}"; shift 2 ;;
    --timestamp) timestamp="${2:?--timestamp needs a URL}"; shift 2 ;;
    --password|--pass)
      fail "$1: a password on the command line shows in the process list; use SORVAN_SIGN_PASSWORD or --password-file" ;;
    -h|--help) usage ;;
    -*) echo "package: unknown option $1" >&2; usage ;;
    *) [ -z "$components" ] || usage; components="$1"; shift ;;
  esac
done
if [ -n "$check" ]; then
  [ -z "$out_given" ] || fail "--check writes no release: --out does not go with it"
  [ -z "$components$pkcs12$module$timestamp$password_file$dirty" ] || usage
  [ -d "$check" ] || fail "$check: no such folder"
  check=$(cd "$check" && pwd)
  components="$check/SORVan" out="$root/build/release-check"
fi
[ -n "$components" ] || usage

# How the files are signed, if at all.
sign_with=()
if [ -n "$pkcs12" ] && [ -n "$module" ]; then
  fail "give either --pkcs12 or --pkcs11-module, not both"
elif [ -n "$pkcs12" ]; then
  [ -f "$pkcs12" ] || fail "$pkcs12: no such file"
  if [ -z "$password_file" ] && [ -z "${SORVAN_SIGN_PASSWORD+set}" ]; then
    fail "--pkcs12 needs its password: set SORVAN_SIGN_PASSWORD or give --password-file"
  fi
  sign_with=(-pkcs12 "$pkcs12")
elif [ -n "$module" ]; then
  [ -n "$key" ] && [ -n "$cert" ] || fail "--pkcs11-module needs --key and --cert"
  sign_with=(-pkcs11module "$module" -key "$key")
  case "$cert" in
    pkcs11:*) sign_with+=(-pkcs11cert "$cert") ;;
    *) [ -f "$cert" ] || fail "$cert: no such file"; sign_with+=(-certs "$cert") ;;
  esac
elif [ -n "$password_file$key$cert" ]; then
  fail "--password-file, --key and --cert belong to --pkcs12 or --pkcs11-module"
fi
if [ -n "$password_file" ] && [ ! -f "$password_file" ]; then
  fail "$password_file: no such file"
fi
[ -z "$timestamp" ] || [ "${#sign_with[@]}" -gt 0 ] || fail "--timestamp needs a certificate to sign with"

"$root/scripts/install-deps.sh"

# The components first: a wrong folder writes nothing.
version=$(/usr/bin/python3 "$root/scripts/check_components.py" "$components") ||
  fail "$components is no components folder for a release (see above); nothing was written"

# The release is stamped with the commit and claims to be reproducible from
# it, while the program is built from the working tree: a tree with changes
# that are not committed makes no such release unless asked to, and then
# says so.
if [ -z "$check" ] && git -C "$root" rev-parse --git-dir >/dev/null 2>&1 && ! git -C "$root" diff --quiet HEAD --; then
  if [ -z "$dirty" ]; then
    git -C "$root" status --short -uno >&2 || true
    fail "the working tree has changes that are not committed (above): commit them, or give --dirty"
  fi
  echo "package: DIRTY release: made from a working tree with changes that are not committed"
fi

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  epoch="$SOURCE_DATE_EPOCH"
elif ! epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
  fail "not a git checkout: set SOURCE_DATE_EPOCH to the time the release should record"
fi
# A zip or cabinet records times as local DOS times, from 1980 on.
[ "$epoch" -ge 315532800 ] 2>/dev/null || fail "SOURCE_DATE_EPOCH=$epoch is no time from 1980 on"
export TZ=UTC

echo "package: building SORVanActiveXSetup.exe (MinGW-w64, 32-bit)"
cmake --no-warn-unused-cli -S "$root" -B "$root/build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/win" --target SORVanActiveXSetup -j"$(nproc)" >/dev/null

# Everything is made in a folder beside the release and put in its place at
# the end, so that a failure leaves no half-written release. The folder it
# replaces must be empty or hold exactly the files of a release, as real
# files and folders: a mistyped --out never deletes anything else.
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
# One run at a time in a folder: a second would replace the release, or
# leave its work beside it, while the first is still making it.
exec 9<"$(dirname "$out")"
flock -n 9 || fail "another package.sh is making a release in $(dirname "$out"); run again when it has finished"
names=("$SORVAN_SETUP_EXE" "${SORVAN_COMPONENTS[@]}")
release_listing() {  # every entry a release holds, with its type
  local name
  {
    printf 'd SORVan\n'
    for name in SHA256SUMS SORVan.cab SORVan.zip SORVanActiveXSetup.exe object.html; do printf 'f %s\n' "$name"; done
    for name in "${names[@]}"; do printf 'f SORVan/%s\n' "$name"; done
  } | LC_ALL=C sort
}
if [ -z "$check" ] && [ -e "$out" ]; then
  [ -d "$out" ] && [ ! -L "$out" ] || fail "$out is not a folder: give an empty or new folder to --out"
  # What cannot be read is not known to be a release.
  held=$(find "$out" -mindepth 1 -printf '%y %P\n' 2>/dev/null | LC_ALL=C sort || echo unreadable)
  if [ -n "$held" ] && [ "$held" != "$(release_listing)" ]; then
    fail "$out holds something that is not a release: give an empty or new folder to --out"
  fi
fi
work="$out.new.$$"
trap 'rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work/SORVan" "$work/cabinet"

# verify_signature FILE: whether FILE's signature matches it and was made
# with a code-signing certificate, checked against the certificates the
# signature carries, so that no root is needed. Prints who signed.
verify_signature() {
  local signature="$work/signature.der" chain="$work/signature.pem" report
  rm -f "$signature" "$chain"
  osslsigncode extract-signature -in "$1" -out "$signature" >/dev/null 2>&1 &&
    openssl pkcs7 -inform DER -in "$signature" -print_certs -out "$chain" >/dev/null 2>&1 || return 1
  report=$(osslsigncode verify -CAfile "$chain" -ignore-timestamp -ignore-cdp -ignore-crl -in "$1" 2>&1) || true
  signer=$(sed -n '/^[[:space:]]*Subject: /{s///p;q;}' <<<"$report")
  grep -q '^Signature verification: ok' <<<"$report"
}

# sign IN OUT: an Authenticode signature (SHA-256) with the fixed signing time,
# verified, code-signing purpose included, before the release takes it.
# The description, which Windows' prompts show, is ASCII: the signer stores it
# as an ASCII string, and the Korean name would reach the user garbled.
sign() {
  local args=("${sign_with[@]}" -h sha256 -n "SORVanActiveXSetup" -time "$epoch")
  [ -z "$timestamp" ] || args+=(-ts "$timestamp")
  # An empty password is no password: the signer is not asked to read one.
  if [ -n "$password_file" ] && [ -n "$(head -n 1 "$password_file")" ]; then
    args+=(-readpass "$password_file")
  elif [ -n "${SORVAN_SIGN_PASSWORD:-}" ]; then
    # Through a pipe from the shell itself: never in a process's arguments.
    args+=(-readpass -)
  fi
  local log="$work/sign.log"
  if ! printf '%s' "${SORVAN_SIGN_PASSWORD:-}" | osslsigncode sign "${args[@]}" -in "$1" -out "$2" >"$log" 2>&1; then
    if [ -n "$timestamp" ] && grep -q "timestamping failed" "$log"; then
      grep -m 1 "failure" "$log" >&2 || true
      fail "the time-stamp server $timestamp gave no time stamp: try again later, or give another with --timestamp"
    fi
    cat "$log" >&2
    fail "could not sign $(basename "$2")"
  fi
  verify_signature "$2" ||
    fail "the signature of $(basename "$2") does not verify: is the certificate one for code signing?"
  echo "package: $(basename "$2") signed by $signer"
}

embed=(/usr/bin/python3 "$root/scripts/embed_digests.py")
program="$work/SORVanActiveXSetup.unsigned.exe"
# unsigned_copy IN OUT: the file without its signature, or as it is when
# unsigned. (The signer writes no file that is already there.)
unsigned_copy() {
  rm -f "$2"
  osslsigncode remove-signature -in "$1" -out "$2" >/dev/null 2>&1 || cp "$1" "$2"
}
# is_signed FILE: whether FILE carries a signature at all.
is_signed() {
  rm -f "$work/signature.der"
  osslsigncode extract-signature -in "$1" -out "$work/signature.der" >/dev/null 2>&1
}
differ=()
if [ -z "$check" ]; then
  "${embed[@]}" "$root/build/win/SORVanActiveXSetup.exe" "$program" "$components" "${names[@]:1}" ||
    fail "could not write the components' digests into the program"
else
  # Every file is checked on its own, so that each one that differs is
  # named: the components against the digests the published program
  # carries, the two copies of the program against this checkout's build
  # with those digests, and every signature against its file.
  for name in SORVanActiveXSetup.exe SORVan/SORVanActiveXSetup.exe; do
    [ -f "$check/$name" ] || fail "$check/$name: missing"
  done
  # The digests lie in the program's image, which a signature only follows.
  digests=$("${embed[@]}" --read "$check/SORVanActiveXSetup.exe") ||
    fail "SORVanActiveXSetup.exe carries no digests of its components: it is no release made by this script"
  "${embed[@]}" --copy "$check/SORVanActiveXSetup.exe" "$root/build/win/SORVanActiveXSetup.exe" "$program"
  # The components the release is remade from: the published ones, or the
  # zip's copy of one that was changed in the folder.
  mkdir -p "$work/components"
  index=0
  for name in "${names[@]:1}"; do
    index=$((index + 1))
    expected=$(sed -n "${index}p" <<<"$digests")
    cp "$check/SORVan/$name" "$work/components/$name"
    if [ "$(sha256sum < "$check/SORVan/$name" | cut -c1-64)" != "$expected" ]; then
      differ+=("SORVan/$name")
      unzip -p "$check/SORVan.zip" "SORVan/$name" > "$work/components/$name" 2>/dev/null || true
    fi
  done
  components="$work/components"
  # The release is remade around a published program that is sound.
  chosen=""
  for name in SORVanActiveXSetup.exe SORVan/SORVanActiveXSetup.exe; do
    unsigned_copy "$check/$name" "$work/stripped.exe"
    if ! cmp -s "$work/stripped.exe" "$program"; then
      differ+=("$name")
    elif is_signed "$check/$name" && ! verify_signature "$check/$name"; then
      differ+=("$name (its signature)")
    else
      [ -n "$chosen" ] || chosen="$check/$name"
    fi
  done
  program="${chosen:-$check/SORVanActiveXSetup.exe}"
  rm -f "$work/stripped.exe"
fi
if [ "${#sign_with[@]}" -gt 0 ]; then
  sign "$program" "$work/SORVanActiveXSetup.exe"
else
  cp "$program" "$work/SORVanActiveXSetup.exe"
fi
rm -f "$work/SORVanActiveXSetup.unsigned.exe"

cp "$work/SORVanActiveXSetup.exe" "$work/SORVan/"
for name in "${names[@]:1}"; do cp "$components/$name" "$work/SORVan/$name"; done

# The browser's code download checks the cabinet's signature, extracts it
# into a folder of its own and runs the unconditional setup hook from there:
# the setup then finds its components beside it. There is no [Add.Code]
# entry: it would have the browser install the control itself, outside the
# setup's records, or run the hook a second time from the emptied folder.
# The browser decides whether to download by the <object> tag's class id and
# version; the INF names them for whoever reads the cabinet.
clsid="$SORVAN_CLSID"
cp "$work/SORVan/"* "$work/cabinet/"
# Plain ASCII with CRLF line ends, as Windows' INF readers take it whatever
# the code page.
sed 's/$/\r/' > "$work/cabinet/SORVan.inf" <<EOF
; SORVan: the setup of the control $clsid,
; LumeTransfer.ocx version $version. The browser extracts this cabinet into
; a folder of its own and runs the setup from there.
[Version]
Signature="\$CHICAGO\$"
AdvancedINF=2.0

[Setup Hooks]
SORVanSetup=SORVanSetup

[SORVanSetup]
run=%EXTRACT_DIR%\\SORVanActiveXSetup.exe
EOF

# Fixed times and modes, so that the zip and the cabinet depend only on the
# files' bytes.
chmod 644 "$work/SORVan/"* "$work/cabinet/"*
touch -d "@$epoch" "$work/SORVan/"* "$work/cabinet/"*
(cd "$work" && zip -X -q -D SORVan.zip "${names[@]/#/SORVan/}")
# No reserved space: the signer adds its own.
(cd "$work/cabinet" && gcab -c -z -n "$work/SORVan.unsigned.cab" "${names[@]}" SORVan.inf)
if [ "${#sign_with[@]}" -gt 0 ]; then
  sign "$work/SORVan.unsigned.cab" "$work/SORVan.cab"
  rm "$work/SORVan.unsigned.cab"
else
  mv "$work/SORVan.unsigned.cab" "$work/SORVan.cab"
fi
rm -rf "$work/cabinet" "$work/sign.log" "$work/signature.der" "$work/signature.pem"

# Plain ASCII too: it goes into the vendor's page, whatever its encoding.
cat > "$work/object.html" <<EOF
<!-- SORVan: the browser downloads SORVan.cab (beside this
     page) and runs its setup when the control is missing or older than
     $version, the file version of LumeTransfer.ocx. -->
<object id="LumeTransfer" classid="clsid:${clsid//[\{\}]/}"
        codebase="SORVan.cab#version=$version" width="0" height="0">
  <a href="SORVan.zip">SORVan.zip</a>: the setup program and its components, to run by hand.
</object>
EOF
if [ -n "$dirty" ]; then
  echo "<!-- DIRTY: made from a working tree with changes not committed to $(git -C "$root" rev-parse --short HEAD) -->" \
    >> "$work/object.html"
fi
chmod 644 "$work/"*.* && touch -d "@$epoch" "$work/"*.* "$work/SORVan"

(cd "$work" && sha256sum SORVanActiveXSetup.exe SORVan.cab SORVan.zip object.html "${names[@]/#/SORVan/}" > SHA256SUMS)
touch -d "@$epoch" "$work/SHA256SUMS"

if [ -n "$check" ]; then
  unsigned_copy "$check/SORVan.cab" "$work/published.cab"
  if ! cmp -s "$work/published.cab" "$work/SORVan.cab"; then
    differ+=(SORVan.cab)
  elif is_signed "$check/SORVan.cab" && ! verify_signature "$check/SORVan.cab"; then
    differ+=("SORVan.cab (its signature)")
  fi
  for name in SORVan.zip object.html; do
    cmp -s "$check/$name" "$work/$name" || differ+=("$name")
  done
  # The sums are of the signed files, which only the published release has:
  # they must list the nine files, and a sum may fail only for a file that
  # is named already.
  sums_sound=1
  [ "$(cut -c67- "$check/SHA256SUMS" 2>/dev/null)" = "$(cut -c67- "$work/SHA256SUMS")" ] || sums_sound=""
  failed=$( (cd "$check" && sha256sum -c SHA256SUMS 2>/dev/null) | sed -n 's/: FAILED.*$//p'; true)
  for name in $failed; do
    case " ${differ[*]} " in *" $name "* | *" $name ("*) ;; *) sums_sound="" ;; esac
  done
  [ -n "$sums_sound" ] || differ+=(SHA256SUMS)
  for name in SORVanActiveXSetup.exe SORVan.cab; do
    if is_signed "$check/$name" && verify_signature "$check/$name"; then
      echo "package: $name is signed by $signer"
    elif ! is_signed "$check/$name"; then
      echo "package: $name is not signed"
    fi
  done
  [ "${#differ[@]}" -eq 0 ] || fail "$check differs from what this checkout makes of its components: ${differ[*]}"
  echo "package: $check is what this checkout makes of its components, and every signature matches its file"
  exit 0
fi

rm -rf "$out"
mv "$work" "$out"
trap - EXIT
if [ "${#sign_with[@]}" -gt 0 ]; then
  echo "package: signed release of LumeTransfer.ocx $version in $out"
else
  echo "package: UNSIGNED release of LumeTransfer.ocx $version in $out (give --pkcs12 or --pkcs11-module to sign it;"
  echo "package: browsers refuse an unsigned cabinet, and Windows warns before it runs an unsigned program)"
fi
ls -l "$out" | tail -n +2
