"""A private test PKI made with the openssl command, for the TLS session tests.

make(directory) writes, and returns the paths of:
  ca          root "VORNA Session Test Root CA" (what a client names as its CA file)
  server      chain (leaf for DNS:localhost and IP:127.0.0.1, then the intermediate) + key
  wrongname   chain for DNS:wrong.example.test only
  expired     chain for localhost/127.0.0.1, valid 2020-01-01 to 2021-01-01
  untrusted   leaf for localhost/127.0.0.1 from a root that no client is given
  store_ca / store_server   a second root and its leaf, for the system-store test (a root of
                            its own, so that adding it to a store affects no other test)
Chains are (chain_file, key_file) pairs. Keys are RSA 2048, signatures SHA-256. "openssl ca"
signs, because it is the one that can set validity dates in the past.
"""
import datetime
import os
import subprocess

_CONFIG = """
[ ca ]
default_ca = testca
[ testca ]
dir = {db}
database = $dir/index-$ENV::CANAME.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial-$ENV::CANAME
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
email_in_dn = no
[ anything ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ v3_root ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ v3_int ]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ v3_leaf ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::SAN
"""


def make(directory):
    os.makedirs(os.path.join(directory, "db", "newcerts"), exist_ok=True)
    config = os.path.join(directory, "openssl.cnf")
    with open(config, "w") as f:
        f.write(_CONFIG.format(db=os.path.join(directory, "db")))
    env = dict(os.environ, SAN="DNS:unused", CANAME="none")

    def path(name):
        return os.path.join(directory, name)

    def openssl(*args, **extra):
        subprocess.run(["openssl"] + list(args), check=True, cwd=directory,
                       env=dict(env, **extra), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def key(name):
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                "-out", path(name + ".key"))

    def root(name, cn):
        key(name)
        openssl("req", "-x509", "-new", "-config", config, "-key", path(name + ".key"),
                "-subj", "/CN=%s/O=VORNA tests" % cn, "-extensions", "v3_root",
                "-days", "3650", "-sha256", "-out", path(name + ".pem"))

    def sign(name, issuer, extensions, start, end, san="DNS:unused"):
        index = path("db/index-%s.txt" % issuer)
        if not os.path.exists(index):
            open(index, "w").close()
            with open(path("db/serial-%s" % issuer), "w") as f:
                f.write(os.urandom(16).hex() + "\n")
        openssl("req", "-new", "-config", config, "-key", path(name + ".key"),
                "-subj", "/CN=%s" % name_cn[name], "-out", path(name + ".csr"))
        openssl("ca", "-batch", "-notext", "-config", config, "-cert", path(issuer + ".pem"),
                "-keyfile", path(issuer + ".key"), "-extensions", extensions,
                "-startdate", start, "-enddate", end, "-in", path(name + ".csr"),
                "-out", path(name + ".pem"), CANAME=issuer, SAN=san)

    now = datetime.datetime.now(datetime.timezone.utc)
    stamp = lambda t: t.strftime("%Y%m%d%H%M%SZ")
    start, end = stamp(now - datetime.timedelta(days=1)), stamp(now + datetime.timedelta(days=365))
    name_cn = {"int": "VORNA Session Test Intermediate CA", "server": "localhost",
               "wrongname": "wrong.example.test", "expired": "localhost",
               "untrusted": "localhost", "store_server": "localhost"}
    both = "DNS:localhost,IP:127.0.0.1"

    root("ca", "VORNA Session Test Root CA")
    key("int")
    sign("int", "ca", "v3_int", start, stamp(now + datetime.timedelta(days=1825)))
    root("rogue", "Rogue Root CA")
    root("store_ca", "VORNA Session Test Store CA")
    for name, issuer, san, first, last in (
            ("server", "int", both, start, end),
            ("wrongname", "int", "DNS:wrong.example.test", start, end),
            ("expired", "int", both, "20200101000000Z", "20210101000000Z"),
            ("untrusted", "rogue", both, start, end),
            ("store_server", "store_ca", both, start, end)):
        key(name)
        sign(name, issuer, "v3_leaf", first, last, san)
    result = {"ca": path("ca.pem"), "store_ca": path("store_ca.pem")}
    for name in ("server", "wrongname", "expired", "untrusted", "store_server"):
        chain = path(name + "-chain.pem")
        with open(chain, "wb") as out:
            for part in [name] + (["int"] if name in ("server", "wrongname", "expired") else []):
                with open(path(part + ".pem"), "rb") as f:
                    out.write(f.read())
        result[name] = (chain, path(name + ".key"))
    return result
