#!/usr/bin/env bash
# Authenticode signing with a throw-away self-signed code-signing certificate:
# osslsigncode must find the signature valid for that certificate (and not for
# another), and the signed copy must still pass the executable's property tests
# and the end-to-end scenarios. Without a certificate the signing step refuses.
#   signing.sh UPDATER_EXE E2E_TESTS_EXE WINE_PREFIX WORK_FOLDER
set -u
updater=$1 e2e=$2 work=$4
export WINEPREFIX=$3 WINEDEBUG=-all
unset DISPLAY
sign=$(dirname "$0")/../../scripts/sign.sh
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work" && cd "$work" || fail "set-up of $work"
for name in signer other; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout $name.key -out $name.pem -days 2 -subj "/CN=patcher-updater $name" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature >/dev/null 2>&1 || fail "certificate $name"
done
openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.pfx -passout pass:throw-away || fail "pfx"
env -u PU_SIGN_PFX "$sign" "$updater" unsigned.exe 2>/dev/null && fail "signing without a certificate succeeded"
PU_SIGN_PFX=signer.pfx PU_SIGN_PASSWORD=throw-away "$sign" "$updater" signed/patcher-updater.exe >/dev/null || fail "signing"
osslsigncode verify -CAfile signer.pem -in signed/patcher-updater.exe >verify.log 2>&1 &&
  grep -q "Signature verification: ok" verify.log || fail "not valid for its certificate: $(cat verify.log)"
osslsigncode verify -CAfile other.pem -in signed/patcher-updater.exe >/dev/null 2>&1 && fail "valid for another certificate"
PU_UPDATER_EXE=$work/signed/patcher-updater.exe setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64 "$e2e" \
  --gtest_filter='Executable.*:UpdateE2e.EachScenario*' >e2e.log 2>&1 || fail "the signed copy: $(grep -A5 Failure e2e.log | head -40)"
echo "signed: valid for its certificate only; the signed copy passes the executable and end-to-end tests"
