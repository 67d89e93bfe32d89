#!/usr/bin/env bash
# The Windows RSA output (CryptoAPI under Wine, byte order reversed by the program) decrypted by
# OpenSSL on the Linux side with the test private key: both ends agree on the wire format.
#   rsa_crosscheck.sh WINE_RUN RSA_EMIT_EXE PRIVATE_PEM
set -euo pipefail
wine_run=$1 emit=$2 pem=$3
command -v openssl >/dev/null || { echo "openssl (the command) is needed for this check"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for text in 3141592653589793 0000000000000000 9876543210987654; do
  "$wine_run" "$emit" "$text" emitted.bin
  got=$(openssl pkeyutl -decrypt -inkey "$pem" -pkeyopt rsa_padding_mode:pkcs1 -in emitted.bin)
  if [ "$got" != "$text" ]; then
    echo "FAIL: encrypted '$text', OpenSSL decrypted '$got'"
    exit 1
  fi
  echo "ok: $text"
done
