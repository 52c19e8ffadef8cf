#!/usr/bin/env bash
# Makes a throwaway certificate authority and a code-signing certificate it
# issued, valid for two days, for the signing test:
#   FOLDER/ca.pem       the authority's certificate, to verify against
#   FOLDER/signer.pem   the code-signing certificate (SIGN_CERT)
#   FOLDER/signer.key   its private key, encrypted (SIGN_KEY)
#   FOLDER/signer.pass  the key's password (SIGN_KEY_PASSWORD_FILE)
# The authority's key is deleted once it has issued the certificate.
#
#   test-certificate.sh FOLDER
set -euo pipefail
folder=${1:?usage: test-certificate.sh FOLDER}
mkdir -p "$folder"
cd "$folder"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Lindorian Throwaway Test CA" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Lindorian Test Signer" \
  -keyout signer.key -out signer.csr 2>/dev/null
# What Windows requires of a code-signing certificate: the code-signing
# extended key usage, and digital signatures among the key usages.
printf '%s\n' basicConstraints=critical,CA:false keyUsage=critical,digitalSignature \
  extendedKeyUsage=codeSigning >signer.ext
openssl x509 -req -days 2 -in signer.csr -CA ca.pem -CAkey ca.key -set_serial 1 \
  -extfile signer.ext -out signer.pem 2>/dev/null
# A maintainer's key is kept encrypted; so is this one.
openssl rand -hex 16 >signer.pass
openssl pkey -in signer.key -aes256 -passout file:signer.pass -out signer.key.enc
mv signer.key.enc signer.key
rm ca.key signer.csr signer.ext
