#!/usr/bin/env bash
# Signs the updater through the `sign` target with a throw-away self-signed
# code-signing certificate, after checking that the target refuses to sign
# without one, and checks the signature and its SHA-256 digest with
# osslsigncode. The executable and end-to-end tests then run on the signed copy.
#   signing.sh BUILD_DIR WORK_FOLDER
set -u
build=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work" || fail "set-up of $work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/signer.key" -out "$work/signer.pem" -days 2 \
  -subj "/CN=patcher-updater test" -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature >/dev/null 2>&1 &&
  openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/signer.pfx" -passout pass:throw-away ||
  fail "certificate"
env -u PU_SIGN_PFX cmake --build "$build" --target sign >/dev/null 2>&1 && fail "signing without a certificate succeeded"
PU_SIGN_PFX=$work/signer.pfx PU_SIGN_PASSWORD=throw-away cmake --build "$build" --target sign >"$work/sign.log" 2>&1 ||
  fail "signing: $(cat "$work/sign.log")"
osslsigncode verify -CAfile "$work/signer.pem" -in "$build/signed/patcher-updater.exe" >"$work/verify.log" 2>&1 &&
  grep -q "Signature verification: ok" "$work/verify.log" && grep -qE "Message digest algorithm *: SHA256" "$work/verify.log" ||
  fail "$(cat "$work/verify.log")"
echo "signed with SHA-256, valid for its certificate: $build/signed/patcher-updater.exe"
