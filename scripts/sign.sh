#!/usr/bin/env bash
# Signs the updater with Authenticode (SHA-256 digest) through osslsigncode:
# the certificate and key from the PKCS#12 file PU_SIGN_PFX, its password from
# PU_SIGN_PASSWORD, and an RFC 3161 time stamp from PU_SIGN_TIMESTAMP_URL if
# given. Writes a signed copy; the unsigned build stays byte-reproducible.
#   scripts/sign.sh UNSIGNED_EXE SIGNED_EXE
set -euo pipefail
if [ -z "${PU_SIGN_PFX:-}" ]; then
  cat >&2 <<'USAGE'
sign: no certificate given. Name a PKCS#12 file (.pfx) with a code-signing certificate and its key:
  PU_SIGN_PFX=/path/to/cert.pfx PU_SIGN_PASSWORD=... [PU_SIGN_TIMESTAMP_URL=http://time-stamp.server] \
    cmake --build --preset windows --target sign
The signed copy is build/windows/signed/patcher-updater.exe.
USAGE
  exit 1
fi
command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }
mkdir -p "$(dirname "$2")" && rm -f "$2"
# The password goes through a pipe, not the command line that others can read.
arguments=(sign -pkcs12 "$PU_SIGN_PFX" -readpass /dev/stdin -h sha256 -n patcher-updater -in "$1" -out "$2")
[ -z "${PU_SIGN_TIMESTAMP_URL:-}" ] || arguments+=(-ts "$PU_SIGN_TIMESTAMP_URL")
printf '%s' "${PU_SIGN_PASSWORD:-}" | osslsigncode "${arguments[@]}" >/dev/null
echo "signed: $2"
