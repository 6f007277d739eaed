#!/usr/bin/env bash
# Makes throwaway certificates for the TLS tests in the folder given: a test CA, a
# server certificate it signed for localhost and 127.0.0.1, one for another host, an
# expired one, another CA and a self-signed one (each with a key, and key+cert in *-both.pem).
set -e
d=$1; cd "$d"
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Ombrex Test CA" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
q openssl req -x509 -newkey rsa:2048 -nodes -keyout other-ca.key -out other-ca.pem -days 30 -subj "/CN=Ombrex Other CA" -addext "basicConstraints=critical,CA:TRUE"
mkdir -p db; : > db/index.txt; echo 1000 > db/serial
cat > ca.cnf <<CNF
[ ca ]
default_ca = test
[ test ]
dir = $d/db
database = $d/db/index.txt
serial = $d/db/serial
new_certs_dir = $d/db
certificate = $d/ca.pem
private_key = $d/ca.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = copy
[ any ]
commonName = supplied
CNF
leaf() { # name cn san start end [caname]
  q openssl req -new -newkey rsa:2048 -nodes -keyout $1.key -out $1.csr -subj "/CN=$2" -addext "subjectAltName=$3"
  q openssl ca -batch -config ca.cnf -notext -in $1.csr -out $1.pem -startdate $4 -enddate $5
  cat $1.key $1.pem > $1-both.pem
}
leaf server localhost "DNS:localhost,IP:127.0.0.1" 20250101000000Z 20350101000000Z
leaf wronghost wrong.example "DNS:wrong.example" 20250101000000Z 20350101000000Z
leaf expired localhost "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20200201000000Z
q openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key -out selfsigned.pem -days 30 -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"
cat selfsigned.key selfsigned.pem > selfsigned-both.pem
