"""The private certificate authority of every TLS test, made with the openssl command.

`certificates()` makes, once per test process, into a temporary directory:
    ca.pem                the test root (what the client is told to trust)
    int.pem               the intermediate that signed good, wrongname and expired
    bundle.pem            a stand-in for a system bundle that holds the test root
    other-bundle.pem      a bundle of other-ca.pem alone
    other-ca.pem          a root that signed nothing the servers use
    good / wrongname / expired / untrusted
                          (chain.pem, key) pairs of server certificates: the leaf and the
                          intermediate that signed it (a server sends both, never the root)
    store_ca.pem / store_server
                          a root of its own and its leaf, for a test that adds a root to a
                          system store (so that adding it affects no other test)
The good, expired, untrusted and store_server leaves name DNS:localhost, IP:127.0.0.1 and
IP:::1; wrongname names only DNS:wrong.example.test; untrusted comes from a root nobody
trusts. Keys are RSA 2048 with SHA-256, which every TLS stack takes. "openssl ca" signs,
because it is the one that can set validity dates in the past.

`server_context(kind)` gives a Python ssl server context for one of them; `chain(kind)` its
(chain file, key file) pair.
"""
import atexit
import datetime
import os
import shutil
import ssl
import subprocess
import tempfile

_CONFIG = """
[ ca ]
default_ca = local
[ local ]
dir = {dir}
database = $dir/index-$ENV::ISSUER.txt
new_certs_dir = $dir/issued
serial = $dir/serial-$ENV::ISSUER
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[ any_name ]
commonName = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ root_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ intermediate_ext ]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ leaf_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::SAN
"""

_made = {}


def _openssl(directory, *args, env=None):
    run_env = dict(os.environ)
    run_env.update(env or {})
    subprocess.run(("openssl",) + args, cwd=directory, env=run_env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _stamp(when):
    return when.strftime("%Y%m%d%H%M%SZ")


def _make(directory):
    os.makedirs(os.path.join(directory, "issued"))
    config = os.path.join(directory, "ca.cnf")
    with open(config, "w") as f:
        f.write(_CONFIG.format(dir=directory))

    def key(name):
        _openssl(directory, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                 "-out", name + ".key")

    def root(name, common_name):
        key(name)
        _openssl(directory, "req", "-x509", "-new", "-config", config, "-key", name + ".key",
                 "-subj", "/CN=" + common_name, "-extensions", "root_ext", "-days", "3650",
                 "-sha256", "-out", name + ".pem", env={"SAN": "DNS:unused", "ISSUER": "none"})

    def issue(name, issuer, common_name, extensions, start, end, san="DNS:unused"):
        key(name)
        env = {"SAN": san, "ISSUER": issuer}
        _openssl(directory, "req", "-new", "-config", config, "-key", name + ".key",
                 "-subj", "/CN=" + common_name, "-out", name + ".csr", env=env)
        open(os.path.join(directory, "index-%s.txt" % issuer), "a").close()
        serial = os.path.join(directory, "serial-" + issuer)
        if not os.path.exists(serial):
            with open(serial, "w") as f:
                f.write(os.urandom(8).hex() + "\n")
        _openssl(directory, "ca", "-batch", "-notext", "-config", config, "-cert", issuer + ".pem",
                 "-keyfile", issuer + ".key", "-extensions", extensions, "-startdate", start,
                 "-enddate", end, "-in", name + ".csr", "-out", name + ".pem", env=env)

    now = datetime.datetime.now(datetime.timezone.utc)
    # A day back, so that a clock running a little slow still takes the certificates.
    start = _stamp(now - datetime.timedelta(days=1))
    end = _stamp(now + datetime.timedelta(days=365))
    root("ca", "VORNA Test Root CA")
    root("rogue", "Rogue Root CA")
    root("other-ca", "Unrelated Root CA")
    root("store_ca", "VORNA Test Store CA")
    issue("int", "ca", "VORNA Test Intermediate CA", "intermediate_ext", start, end)
    every = "DNS:localhost,IP:127.0.0.1,IP:::1"
    issue("good", "int", "localhost", "leaf_ext", start, end, every)
    issue("wrongname", "int", "wrong.example.test", "leaf_ext", start, end,
          "DNS:wrong.example.test")
    issue("expired", "int", "localhost", "leaf_ext", "20200101000000Z", "20210101000000Z", every)
    issue("untrusted", "rogue", "localhost", "leaf_ext", start, end, every)
    issue("store_server", "store_ca", "localhost", "leaf_ext", start, end, every)

    def read(name):
        with open(os.path.join(directory, name), "rb") as f:
            return f.read()

    for name in ("good", "wrongname", "expired"):
        with open(os.path.join(directory, name + "-chain.pem"), "wb") as f:
            f.write(read(name + ".pem") + read("int.pem"))
    for name in ("untrusted", "store_server"):
        shutil.copy(os.path.join(directory, name + ".pem"),
                    os.path.join(directory, name + "-chain.pem"))
    with open(os.path.join(directory, "bundle.pem"), "wb") as f:
        f.write(read("other-ca.pem") + read("ca.pem"))
    with open(os.path.join(directory, "other-bundle.pem"), "wb") as f:
        f.write(read("other-ca.pem"))


def certificates():
    """The directory of the test PKI, made on the first call."""
    if "dir" not in _made:
        directory = tempfile.mkdtemp(prefix="vorna-pki-")
        atexit.register(shutil.rmtree, directory, True)
        _make(directory)
        _made["dir"] = directory
    return _made["dir"]


def path(name):
    return os.path.join(certificates(), name)


def chain(kind="good"):
    """(chain file, key file) of a server certificate: good, wrongname, expired,
    untrusted or store_server."""
    return path(kind + "-chain.pem"), path(kind + ".key")


def server_context(kind="good"):
    """A TLS server context that presents the named certificate with its intermediate."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(*chain(kind))
    return context
