#!/usr/bin/env bash
# Gathers what a Windows user installs into build/dist/mivo.zip: mivo.sys
# test-signed with a certificate made here, mivo.inf, mivo-ctl.exe, that certificate, the
# example profiles compiled to .reg, and INSTALL.txt. Expects the wdm build
# and the release mivo-profile to be built (./mivo dist does both).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
wdm=$here/build/wdm
out=$here/build/dist
stage=$out/mivo
keys=$out/keys
rm -rf "$stage" "$out/mivo.zip"
mkdir -p "$stage/profiles" "$keys"

# A test certificate for code signing, made once per build tree and never
# committed: it proves nothing beyond "this build signed it".
if [ ! -f "$keys/test.pem" ]; then
  openssl req -x509 -newkey rsa:3072 -nodes -days 3650 -subj "/CN=mivo test signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$keys/test.key" -out "$keys/test.pem" 2>/dev/null
fi
osslsigncode sign -certs "$keys/test.pem" -key "$keys/test.key" -h sha256 -n "mivo" \
  -in "$wdm/mivo.sys" -out "$stage/mivo.sys" >/dev/null
osslsigncode verify -CAfile "$keys/test.pem" -in "$stage/mivo.sys" >/dev/null
openssl x509 -in "$keys/test.pem" -outform der -out "$stage/mivo-test.cer"
# The signature goes into the image: it must still be a valid driver image.
python3 "$here/scripts/check_sys.py" "$stage/mivo.sys" x86_64-w64-mingw32-nm >/dev/null

cp "$wdm/mivo.inf" "$wdm/mivo-ctl.exe" "$here/platform/wdm/INSTALL.txt" "$stage/"
for profile in "$here"/examples/profiles/*.toml; do
  name=$(basename "$profile" .toml)
  "$here/build/release/mivo-profile" compile "$profile" -o "$stage/profiles/$name.reg" >/dev/null
done
"$here/build/release/mivo-profile" compile "$here/examples/profiles/set" -o "$stage/profiles/set.reg" >/dev/null

(cd "$out" && zip -qr mivo.zip mivo)
echo "$out/mivo.zip:"
(cd "$out" && zip -sf mivo.zip | sed -n 's/^  /  /p')
