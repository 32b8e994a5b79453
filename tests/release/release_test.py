"""Signed releases, with keys made here: a root, and below it a code-signing
certificate and a timestamping one, in PKCS#12 files and on a SoftHSM token,
with a timestamp server on loopback. Leaves a signed release of this build
and its root in RELEASE_OUT, for the Wine suite.

Environment (CTest sets it): SOURCE_DIR, DIST_DIR, RELEASE_OUT.
"""

import hashlib
import http.server
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

SOURCE = Path(os.environ["SOURCE_DIR"])
DIST = Path(os.environ["DIST_DIR"])
OUT = Path(os.environ["RELEASE_OUT"])
EXES = ["quenlor-patch.exe", "quenlor-patch-x64.exe"]
OSSLSIGNCODE = os.environ.get("OSSLSIGNCODE", "osslsigncode")
# Certificate extensions, and the timestamp server's settings.
CONFIG = """
[code]
extendedKeyUsage = codeSigning
[plain]
keyUsage = digitalSignature
[stamping]
extendedKeyUsage = critical,timeStamping
[tsa]
serial = tsa-serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256
ess_cert_id_alg = sha1
"""
# name, extensions, days: each certificate below the root.
ISSUED = [("signer", "code", 365), ("tsa", "stamping", 365), ("expired", "code", -1),
          ("plain", "plain", 365), ("stranger", "code", 365)]


def run(*command, text=True, **options):
    return subprocess.run([str(c) for c in command], capture_output=True, text=text, **options)


class Keys:
    def __init__(self, where):
        self.where = where
        (where / "config").write_text(CONFIG)
        (where / "tsa-serial").write_text("01\n")
        self.password = self.file("password", "test password\n")
        for name in ["root", "other"]:
            self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                         "-out", f"{name}.pem", "-days", "3650", "-subj", f"/CN=Test {name}",
                         "-addext", "basicConstraints=critical,CA:true")
        for serial, (name, section, days) in enumerate(ISSUED, 2):
            self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                         f"{name}.csr", "-subj", f"/CN=Quenlor test {name}")
            self.openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "root.pem", "-CAkey",
                         "root.key", "-set_serial", serial, "-days", days, "-extfile", "config",
                         "-extensions", section, "-out", f"{name}.pem")
        self.root, self.other_root = where / "root.pem", where / "other.pem"

    def file(self, name, text):
        (self.where / name).write_text(text)
        return self.where / name

    def openssl(self, *args, text=True):
        done = run("openssl", *args, cwd=self.where, text=text)
        assert done.returncode == 0, done.stderr
        return done.stdout

    def der(self, name):
        return self.openssl("x509", "-in", f"{name}.pem", "-outform", "DER", text=False)

    def pkcs12(self, name, *options):
        """The key and its certificate, with the root, as CAs ship them."""
        self.openssl("pkcs12", "-export", *options, "-inkey", f"{name}.key", "-in", f"{name}.pem",
                     "-certfile", "root.pem", "-out", f"{name}.p12", "-passout",
                     f"file:{self.password}")
        return dict(SIGN_PKCS12=self.where / f"{name}.p12", SIGN_PASSWORD_FILE=self.password)


class TimestampServer(http.server.BaseHTTPRequestHandler):
    """RFC 3161: each request answered by `openssl ts -reply`."""
    where = None

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", "config", "-section", "tsa", "-queryfile",
             "/dev/stdin", "-signer", "tsa.pem", "-inkey", "tsa.key", "-chain", "root.pem",
             "-out", "/dev/stdout"], input=query, capture_output=True, cwd=self.where).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="release-test-"))
        cls.keys = keys = Keys(cls.tmp)
        print(f"\nsigning: {run(OSSLSIGNCODE, '--version').stdout.split(',')[0]}")
        # A token, initialised here, holding the signer's key.
        (cls.tmp / "tokens").mkdir()
        os.environ["SOFTHSM2_CONF"] = str(keys.file("softhsm2.conf", "directories.tokendir = "
                                                    f"{cls.tmp / 'tokens'}\n"))
        for command in [["--init-token", "--free", "--label", "quenlor", "--so-pin", "87654321"],
                        ["--import", keys.where / "signer.key", "--token", "quenlor",
                         "--label", "signer", "--id", "01"]]:
            done = run("softhsm2-util", *command, "--pin", "123456")
            assert done.returncode == 0, done.stdout + done.stderr
        cls.token = dict(SIGN_PKCS11_MODULE="/usr/lib/softhsm/libsofthsm2.so",
                         SIGN_KEY="pkcs11:token=quenlor;object=signer;type=private",
                         SIGN_CERTS=keys.where / "signer.pem",
                         SIGN_PIN_FILE=keys.file("pin", "123456\n"))
        TimestampServer.where = keys.where
        cls.server = http.server.HTTPServer(("127.0.0.1", 0), TimestampServer)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.timestamp = f"http://127.0.0.1:{cls.server.server_port}/"
        with socket.socket() as closed:  # a port where nothing listens
            closed.bind(("127.0.0.1", 0))
            cls.refused = f"http://127.0.0.1:{closed.getsockname()[1]}/"

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        shutil.rmtree(cls.tmp)

    def env(self, **settings):
        env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
        env.update(SOURCE_DATE_EPOCH="1765000000", SIGN_CAFILE=str(self.keys.root),
                   SIGN_URL="https://quenlor.example/patch")
        env.update({k: str(v) for k, v in settings.items()})
        return env

    def release(self, out, **settings):
        return run(SOURCE / "tools" / "release", DIST, out, env=self.env(**settings))

    def verify(self, exe, root=None):
        root = root or self.keys.root
        return run(OSSLSIGNCODE, "verify", "-CAfile", root, "-TSA-CAfile", root, "-in", exe)

    def test_each_key_signs_twice_and_verifies_against_its_root_only(self):
        keys = {"PKCS#12": self.keys.pkcs12("signer"),
                "PKCS#12 in OpenSSL 1's ciphers": self.keys.pkcs12("signer", "-legacy"),
                "token": self.token}
        for name, settings in keys.items():
            with self.subTest(name):
                out = self.tmp / "each" / name
                done = self.release(out, **settings)
                self.assertEqual(0, done.returncode, done.stderr)
                for exe in EXES:
                    text, signed = self.verify(out / exe).stdout, (out / exe).read_bytes()
                    self.assertIn("Number of verified signatures: 2", text)
                    # SHA-1 first, for XP before SP3; the SHA-256 one nested.
                    self.assertIn("Signature Index: 0  (Primary Signature)", text)
                    self.assertEqual(["SHA1", "SHA256"],
                                     re.findall(r"Message digest algorithm  : (\w+)", text))
                    self.assertEqual(2, text.count("Text description: Quenlor audio driver "
                                                   "pre-install patch"))
                    # The signer's certificate in each, and no root.
                    self.assertEqual(2, signed.count(self.keys.der("signer")))
                    self.assertNotIn(self.keys.der("root"), signed)
                    self.assertNotEqual(0, self.verify(out / exe, self.keys.other_root).returncode)
                    self.assertIn(hashlib.sha256(signed).hexdigest(),
                                  (out / "SHA256SUMS").read_text())

    def test_releases_of_one_commit_are_identical_and_strip_back_to_dist(self):
        first, second = self.tmp / "first", self.tmp / "second"
        # dist/ as it is (-o): other tests are running its executables.
        done = run("make", "-C", SOURCE, "-o", "dist", "release", f"DIST={DIST}",
                   f"RELEASE={first}", env=self.env(**self.keys.pkcs12("signer")))
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        self.assertEqual(0, self.release(second, **self.keys.pkcs12("signer")).returncode)
        for exe in EXES:
            signed = (first / exe).read_bytes()
            print(f"size: {exe} signed {len(signed)} bytes")
            self.assertEqual(signed, (second / exe).read_bytes())
            run(OSSLSIGNCODE, "remove-signature", "-in", first / exe, "-out", self.tmp / exe)
            self.assertEqual((DIST / exe).read_bytes(), (self.tmp / exe).read_bytes())
        # For the Wine suite: the release, and its root as Windows stores it.
        shutil.rmtree(OUT, ignore_errors=True)
        shutil.copytree(first, OUT / "release")
        (OUT / "root.cer").write_bytes(self.keys.der("root"))

    def test_timestamp_comes_from_the_first_server_that_answers(self):
        for name, settings in [("PKCS#12", self.keys.pkcs12("signer")), ("token", self.token)]:
            with self.subTest(name):
                out = self.tmp / "stamped" / name
                done = self.release(out, SIGN_TIMESTAMP_URL=f"{self.refused} {self.timestamp}",
                                    **settings)
                self.assertEqual(0, done.returncode, done.stderr)
                for exe in EXES:
                    text = self.verify(out / exe).stdout
                    self.assertEqual(2, text.count("Timestamp Server Signature verification: ok"))
                    self.assertIn("Number of verified signatures: 2", text)

    def test_each_fault_stops_with_its_message_and_leaves_release_as_it_was(self):
        keys, p12 = self.keys, self.keys.pkcs12("signer")
        cases = [
            ("no key", {}, "no signing key"),
            ("no password", {"SIGN_PKCS12": p12["SIGN_PKCS12"]}, "needs SIGN_PASSWORD_FILE"),
            ("wrong password", dict(p12, SIGN_PASSWORD_FILE=keys.file("wrong", "secret\n")),
             "password in SIGN_PASSWORD_FILE .* does not open SIGN_PKCS12"),
            ("wrong PIN", dict(self.token, SIGN_PIN_FILE=keys.file("wrong-pin", "000000\n")),
             "token refused the PIN in SIGN_PIN_FILE"),
            ("certificate of another key",
             dict(self.token, SIGN_CERTS=keys.where / "stranger.pem"), "does not match the key"),
            ("no code-signing purpose", keys.pkcs12("plain"), "is not for code signing"),
            ("expired", keys.pkcs12("expired"), "expired on"),
            ("no timestamp server", dict(p12, SIGN_TIMESTAMP_URL=self.refused),
             "no timestamp server answered"),
            ("signed under another root", dict(p12, SIGN_CAFILE=keys.other_root),
             "does not verify against"),
        ]
        out = self.tmp / "faults"
        out.mkdir()
        for exe in EXES + ["SHA256SUMS"]:
            (out / exe).write_text("an earlier release\n")

        def state():  # the release, and any work left beside it
            return (sorted((p.name, p.read_bytes()) for p in out.iterdir()),
                    [p.name for p in out.parent.iterdir() if p.name.startswith(".release")])

        before = state()
        for name, settings, message in cases:
            with self.subTest(name):
                done = self.release(out, **settings)
                self.assertNotEqual(0, done.returncode)
                self.assertRegex(done.stderr, "^make release: .*" + message)
                print(f"error: {name}: {done.stderr.strip()}")
                self.assertEqual(before, state())


if __name__ == "__main__":
    unittest.main(verbosity=2)
