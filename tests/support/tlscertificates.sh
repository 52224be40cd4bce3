#!/usr/bin/env bash
# Certificates for the tests and the benchmark of Modbus/TCP Security, made
# with the openssl command as docs/remote-control.md's recipe makes them, so
# that the tests also prove the recipe. Made anew each time; none is kept.
#   tlscertificates.sh DIR ca NAME                  a CA: DIR/NAME.crt and DIR/NAME.key
#   tlscertificates.sh DIR server NAME CA [rsa]     a server certificate for 127.0.0.1
#   tlscertificates.sh DIR client NAME CA [ROLE]    a client certificate, ROLE in its role extension
# Keys are EC P-256, or RSA 2048 where rsa is given.
set -euo pipefail
cd "$1"
kind=$2 name=$3 ca=${4:-} extra=${5:-}
newKey=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
[ "$kind:$extra" != server:rsa ] || newKey=(-newkey rsa:2048)
if [ "$kind" = ca ]; then
  openssl req -x509 "${newKey[@]}" -nodes -days 30 -subj "/CN=$name" -keyout "$name.key" -out "$name.crt" 2>/dev/null
  exit
fi
if [ "$kind" = server ]; then
  printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >"$name.ext"
else
  printf 'extendedKeyUsage = clientAuth\n' >"$name.ext"
  [ -z "$extra" ] || printf '1.3.6.1.4.1.50316.802.1 = ASN1:UTF8String:%s\n' "$extra" >>"$name.ext"
fi
openssl req -new "${newKey[@]}" -nodes -subj "/CN=$name" -keyout "$name.key" -out "$name.csr" 2>/dev/null
openssl x509 -req -in "$name.csr" -CA "$ca.crt" -CAkey "$ca.key" -CAcreateserial -days 30 \
  -extfile "$name.ext" -out "$name.crt" 2>/dev/null
rm "$name.csr" "$name.ext"
