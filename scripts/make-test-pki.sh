#!/usr/bin/env bash
# Makes the throw-away code-signing PKI of the tests in <out-dir>:
#   root.crt/.key           trusted test root (made trusted inside the Wine
#                           prefix only, through root.reg)
#   untrusted-root.crt/.key a root nobody trusts
#   <signer>.crt/.key/.chain.pem for the signers
#     karvelo    "Karvelo, Inc."
#     other      "Other Signer Ltd"
#     system     "Microsoft Windows" (a system signer, for catalogs)
#     expired    "Karvelo, Inc.", validity ended in 2021
#     untrusted  "Karvelo, Inc." issued by the untrusted root
#   <signer>.der            the certificate in DER (for key lists, catalogs)
#   root.reg                registry import that trusts root.crt
# Private keys never leave the build tree. Leaf certificates are signed with
# SHA-1: Wine's Authenticode policy enforces the root only for those.
set -euo pipefail
out=${1:?usage: make-test-pki.sh <out-dir>}
mkdir -p "$out"
cd "$out"

make_root() {  # <name> <common name>
  openssl req -x509 -newkey rsa:2048 -nodes -sha1 -days 7300 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$1.key" -out "$1.crt" 2>/dev/null
}

# openssl ca is used (not x509 -req) so that the validity dates can be set.
make_leaf() {  # <name> <common name> <issuer> <start> <end>
  local ca_dir="ca-$3"
  mkdir -p "$ca_dir"
  [ -f "$ca_dir/index.txt" ] || : >"$ca_dir/index.txt"
  [ -f "$ca_dir/serial" ] || echo 1000 >"$ca_dir/serial"
  cat >"$ca_dir/ca.cnf" <<CNF
[ca]
default_ca = test_ca
[test_ca]
dir = $ca_dir
database = $ca_dir/index.txt
serial = $ca_dir/serial
new_certs_dir = $ca_dir
certificate = $3.crt
private_key = $3.key
default_md = sha1
policy = anything
unique_subject = no
copy_extensions = none
x509_extensions = codesign
[anything]
commonName = supplied
organizationName = optional
[codesign]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
  openssl req -new -newkey rsa:2048 -nodes -subj "/O=$2/CN=$2" -keyout "$1.key" -out "$1.csr" 2>/dev/null
  openssl ca -batch -config "$ca_dir/ca.cnf" -in "$1.csr" -out "$1.crt" -notext \
    -startdate "$4" -enddate "$5" 2>/dev/null
  openssl x509 -in "$1.crt" -outform der -out "$1.der"
  cat "$1.crt" "$3.crt" >"$1.chain.pem"
  rm -f "$1.csr"
}

make_root root "Zel Test Root"
make_root untrusted-root "Zel Untrusted Root"
openssl x509 -in root.crt -outform der -out root.der

current_start=20200101000000Z
current_end=20391231000000Z
make_leaf karvelo "Karvelo, Inc." root $current_start $current_end
make_leaf other "Other Signer Ltd" root $current_start $current_end
make_leaf system "Microsoft Windows" root $current_start $current_end
make_leaf expired "Karvelo, Inc." root 20190101000000Z 20210101000000Z
make_leaf untrusted "Karvelo, Inc." untrusted-root $current_start $current_end

# The local-machine Root store keeps each certificate as a "Blob" of
# properties: CERT_CERT_PROP_ID (32), reserved 1, length, then the DER.
thumbprint=$(openssl x509 -in root.crt -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
le32() { printf '%08x' "$1" | sed -E 's/(..)(..)(..)(..)/\4,\3,\2,\1/'; }
der_hex=$(od -An -tx1 -v root.der | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
{
  printf 'REGEDIT4\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\%s]\r\n' "$thumbprint"
  printf '"Blob"=hex:%s,%s,%s,%s\r\n' "$(le32 32)" "$(le32 1)" "$(le32 "$(stat -c %s root.der)")" "$der_hex"
} >root.reg
echo "$thumbprint" >root.thumbprint
