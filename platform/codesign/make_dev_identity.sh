#!/bin/sh
# Makes the development signing identity in the build tree: a self-signed anchor and a leaf it
# issues. Existing files are kept, so a rebuild never changes the identity (and so never changes
# the anchor compiled into the daemon). A missing anchor makes a new leaf too, since an old leaf
# would not chain to it.
#
#   [OPENSSL=/path/to/openssl] make_dev_identity.sh OUTPUT_DIR
set -eu

openssl() { command "${OPENSSL:-openssl}" "$@"; }

out=${1:?usage: make_dev_identity.sh OUTPUT_DIR}
mkdir -p "$out"
umask 077
work=$(mktemp -d "$out/.dev-identity.XXXXXX")
trap 'rm -rf "$work"' EXIT

anchor_days=7300
leaf_days=3650

serial() { echo "0x$(openssl rand -hex 16)"; }

made_anchor=no
if [ ! -s "$out/dev-anchor.pem" ] || [ ! -s "$out/dev-anchor.key" ]; then
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -keyout "$work/anchor.key" -out "$work/anchor.pem" \
        -days "$anchor_days" -set_serial "$(serial)" -sha256 \
        -subj "/CN=Korvane Development Root CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
    # Key before certificate: the certificate's presence is what marks the pair complete.
    mv "$work/anchor.key" "$out/dev-anchor.key"
    mv "$work/anchor.pem" "$out/dev-anchor.pem"
    made_anchor=yes
fi

if [ "$made_anchor" = yes ] || [ ! -s "$out/dev-identity.pem" ] || [ ! -s "$out/dev-identity.key" ]; then
    cat >"$work/leaf.ext" <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT
    {
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
            -keyout "$work/identity.key" -out "$work/identity.csr" \
            -subj "/CN=Developer ID Application: Korvane (ZK4HM8QT3V)/OU=ZK4HM8QT3V/O=Korvane" &&
        openssl x509 -req -in "$work/identity.csr" \
            -CA "$out/dev-anchor.pem" -CAkey "$out/dev-anchor.key" -set_serial "$(serial)" \
            -days "$leaf_days" -sha256 -extfile "$work/leaf.ext" -out "$work/identity.pem"
    } 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
    mv "$work/identity.key" "$out/dev-identity.key"
    mv "$work/identity.pem" "$out/dev-identity.pem"
fi

# Certificates are public; tests running as another user read them.
chmod 644 "$out/dev-anchor.pem" "$out/dev-identity.pem"
