#!/usr/bin/python3
"""Certificates for the encrypted-connection tests, made fresh in DIR each time.

  test_ca.py DIR

writes
  ca.pem                     the test certificate authority (the only one the tests trust)
  server.crt, server.key     issued by it for 127.0.0.1 and localhost
  other.crt, other.key       issued by it for mail.example.org only
  self.crt, self.key         self-signed for 127.0.0.1 and localhost, issued by no authority
Nothing here is fit for anything but a test on loopback.
"""
import datetime
import ipaddress
import os
import sys

import trustme
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def self_signed(names):
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, names[0])])
    alt = []
    for n in names:
        try:
            alt.append(x509.IPAddress(ipaddress.ip_address(n)))
        except ValueError:
            alt.append(x509.DNSName(n))
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.SubjectAlternativeName(alt), critical=False)
            .sign(key, hashes.SHA256()))
    pem_key = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    return cert.public_bytes(serialization.Encoding.PEM), pem_key


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    ca = trustme.CA()
    ca.cert_pem.write_to_path(os.path.join(out, "ca.pem"))
    for name, hosts in (("server", ["127.0.0.1", "localhost"]), ("other", ["mail.example.org"])):
        leaf = ca.issue_cert(*hosts)
        leaf.private_key_pem.write_to_path(os.path.join(out, name + ".key"))
        with open(os.path.join(out, name + ".crt"), "wb") as f:
            for blob in leaf.cert_chain_pems:
                f.write(blob.bytes())
    cert, key = self_signed(["127.0.0.1", "localhost"])
    with open(os.path.join(out, "self.crt"), "wb") as f:
        f.write(cert)
    with open(os.path.join(out, "self.key"), "wb") as f:
        f.write(key)


if __name__ == "__main__":
    main()
