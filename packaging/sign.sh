#!/bin/sh
# Signs one Windows program file in place with osslsigncode (Authenticode, SHA-256), when a
# certificate is configured; otherwise leaves it as it is. Used for brisca.exe (stage.cmake), the
# uninstaller and the installer (makensis's !uninstfinalize and !finalize).
#   BRISCA_SIGN_PKCS12            a PKCS#12 file with the certificate chain and the key
#   BRISCA_SIGN_PASSWORD          its password (optional)
#   BRISCA_SIGN_PKCS11_MODULE     or a PKCS#11 token: the module (e.g. opensc-pkcs11.so),
#   BRISCA_SIGN_PKCS11_CERT       the certificate (PKCS#11 URI or a PEM/DER file),
#   BRISCA_SIGN_PKCS11_KEY        the key (PKCS#11 URI), BRISCA_SIGN_PKCS11_ENGINE (optional)
#   BRISCA_SIGN_TIMESTAMP_URL     an RFC 3161 time-stamp server (optional; recommended)
set -eu
file=$1
if [ -n "${BRISCA_SIGN_PKCS12:-}" ]; then
  pass=$(mktemp)
  trap 'rm -f "$pass"' EXIT
  printf '%s' "${BRISCA_SIGN_PASSWORD:-}" > "$pass"
  set -- -pkcs12 "$BRISCA_SIGN_PKCS12" -readpass "$pass"
elif [ -n "${BRISCA_SIGN_PKCS11_MODULE:-}" ]; then
  set -- -pkcs11module "$BRISCA_SIGN_PKCS11_MODULE" -pkcs11cert "${BRISCA_SIGN_PKCS11_CERT:?}" \
         -key "${BRISCA_SIGN_PKCS11_KEY:?}"
  [ -z "${BRISCA_SIGN_PKCS11_ENGINE:-}" ] || set -- -pkcs11engine "$BRISCA_SIGN_PKCS11_ENGINE" "$@"
else
  exit 0
fi
[ -z "${BRISCA_SIGN_TIMESTAMP_URL:-}" ] || set -- "$@" -ts "$BRISCA_SIGN_TIMESTAMP_URL"
osslsigncode sign "$@" -h sha256 -n Brisca -i https://www.tevonetworks.co.kr/ \
  -in "$file" -out "$file.signed" >/dev/null
mv -f "$file.signed" "$file"
echo "signed $file"
