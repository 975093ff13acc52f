"""Test certificates for the local update hosts, made with openssl.

Usage: test_pki.py OUT_DIR PRIMARY_HOST FALLBACK_HOST THIRD_HOST

Writes into OUT_DIR:
  ca.pem, ca.der          the test CA that scripts/wine-env.sh adds to the Wine prefix's Root store
  <host>.pem, <host>.key  a server certificate for each host, issued by the test CA
  untrusted.pem/.key      a certificate for the primary host from another CA (never trusted)
  wrong-name.pem/.key     a certificate from the test CA for a name that is not the primary host
  expired.pem/.key        a certificate from the test CA for the primary host, expired in 2021
  hosts.txt               the three host names the certificates were made for
Each CA gets a unique name, so a prefix that trusted an earlier CA never mixes the two up.
"""
import os
import secrets
import subprocess
import sys
import tempfile

OPENSSL = "openssl"


def _run(*args, cwd):
    subprocess.run([OPENSSL, *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def _make_ca(work, name):
    _run("req", "-x509", "-new", "-nodes", "-newkey", "rsa:2048", "-sha256", "-days", "3650",
         "-keyout", f"{name}.key", "-out", f"{name}.pem",
         "-subj", f"/O=Orvane Test/CN={name} {secrets.token_hex(4)}",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=work)


def _server_extensions(work, dns_name):
    path = os.path.join(work, f"ext-{dns_name}.cnf")
    with open(path, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                f"subjectAltName=DNS:{dns_name}\n")
    return path


def _make_request(work, name, dns_name):
    _run("req", "-new", "-nodes", "-newkey", "rsa:2048", "-sha256", "-keyout", f"{name}.key",
         "-out", f"{name}.csr", "-subj", f"/O=Orvane Test/CN={dns_name}", cwd=work)


def _issue(work, name, dns_name, ca):
    """A server certificate for dns_name, valid from now for two years, issued by ca."""
    _make_request(work, name, dns_name)
    _run("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
         "-CAcreateserial", "-sha256", "-days", "730", "-extfile", _server_extensions(work, dns_name),
         "-out", f"{name}.pem", cwd=work)


def _issue_expired(work, name, dns_name, ca):
    """A server certificate for dns_name that was valid only during 2020."""
    _make_request(work, name, dns_name)
    os.makedirs(os.path.join(work, "issued"), exist_ok=True)
    open(os.path.join(work, "index.txt"), "w").close()
    with open(os.path.join(work, "serial"), "w") as f:
        f.write(secrets.token_hex(8) + "\n")
    with open(os.path.join(work, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=test_ca\n"
                "[test_ca]\ndatabase=index.txt\nnew_certs_dir=issued\nserial=serial\n"
                "default_md=sha256\npolicy=any\nunique_subject=no\n"
                "[any]\ncommonName=supplied\norganizationName=optional\n")
    _run("ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", f"{ca}.pem", "-keyfile", f"{ca}.key",
         "-in", f"{name}.csr", "-out", f"{name}.pem", "-startdate", "20200101000000Z",
         "-enddate", "20210101000000Z", "-extfile", _server_extensions(work, dns_name), cwd=work)


def make_pki(out_dir, hosts):
    """Creates every certificate of the module description in out_dir (replacing old ones)."""
    out_dir = os.path.abspath(out_dir)
    primary = hosts[0]
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=out_dir) as work:
        _make_ca(work, "ca")
        _make_ca(work, "other-ca")
        for host in hosts:
            _issue(work, host, host, "ca")
        _issue(work, "untrusted", primary, "other-ca")
        _issue(work, "wrong-name", "elsewhere." + primary, "ca")
        _issue_expired(work, "expired", primary, "ca")
        _run("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=work)
        keep = ["ca.pem", "ca.der"] + [f"{n}.{e}" for n in [*hosts, "untrusted", "wrong-name", "expired"]
                                       for e in ("pem", "key")]
        for name in keep:
            os.replace(os.path.join(work, name), os.path.join(out_dir, name))
    with open(os.path.join(out_dir, "hosts.txt"), "w") as f:
        f.write("\n".join(hosts) + "\n")


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    make_pki(sys.argv[1], sys.argv[2:5])


if __name__ == "__main__":
    main()
