#!/usr/bin/env bash
# The `sign` target refuses to sign without a certificate and signs with SHA-256 with one (a throw-away
# self-signed code-signing certificate); the executable and end-to-end tests then run on the signed copy.
#   signing.sh BUILD_DIR WORK_FOLDER
set -u
build=$1
work=$2
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
rm -rf "$work" && mkdir -p "$work" || fail "set-up of $work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key" -out "$work/pem" -days 2 -subj "/CN=test" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature >/dev/null 2>&1 || fail "certificate"
openssl pkcs12 -export -inkey "$work/key" -in "$work/pem" -out "$work/pfx" -passout pass:p || fail "pfx"
env -u PU_SIGN_PFX cmake --build "$build" --target sign >/dev/null 2>&1 && fail "signed without a certificate"
PU_SIGN_PFX=$work/pfx PU_SIGN_PASSWORD=p cmake --build "$build" --target sign >"$work/log" 2>&1 || fail "$(cat "$work/log")"
osslsigncode verify -CAfile "$work/pem" -in "$build/signed/patcher-updater.exe" >"$work/log" 2>&1
grep -q "Signature verification: ok" "$work/log" || fail "$(cat "$work/log")"
grep -qE "Message digest algorithm *: SHA256" "$work/log" || fail "$(cat "$work/log")"
