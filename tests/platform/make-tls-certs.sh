#!/bin/sh
# Test certificates for the TLS server: a private authority (ca) with a
# server certificate for 127.0.0.1 and mail.quorvel.test, a client
# certificate and one for other names (wrongname), and a second authority
# nobody trusts (other) with a certificate of its own (stranger).
# Usage: make-tls-certs.sh DIR [ec|rsa]; Windows' import takes RSA.
# With rsa, server-pkcs1.key is the server's key in the older PKCS #1 form
# and ec.key an EC key (which Windows refuses).
set -e
mkdir -p "$1"
cd "$1"
if [ "${2:-ec}" = rsa ]; then k='-newkey rsa:2048 -nodes'; else k='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes'; fi
for ca in ca other; do
  openssl req -x509 $k -keyout $ca.key -out $ca.pem -days 3650 -subj /CN=$ca \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
done
for c in server/ca/IP:127.0.0.1,DNS:mail.quorvel.test client/ca/IP:127.0.0.1 stranger/other/IP:127.0.0.1 \
    wrongname/ca/IP:127.0.0.9,DNS:other.quorvel.test; do
  n=${c%%/*}; ca=${c#*/}; san=${ca#*/}; ca=${ca%%/*}
  openssl req $k -keyout $n.key -out $n.csr -subj /CN=$n 2>/dev/null
  printf 'subjectAltName=%s\n' "$san" > $n.ext
  openssl x509 -req -in $n.csr -CA $ca.pem -CAkey $ca.key -CAcreateserial -out $n.pem -days 3650 \
    -extfile $n.ext 2>/dev/null
done
if [ "${2:-ec}" = rsa ]; then
  openssl rsa -in server.key -traditional -out server-pkcs1.key 2>/dev/null
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.key 2>/dev/null
fi
