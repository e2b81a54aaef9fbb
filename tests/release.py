#!/usr/bin/env python3
"""The release's files: the exe as a user downloads it, its zip, the signed release. CTest
names the preset (PRESET), the version (VERSION) and the source (SOURCE_DIR) in the environment."""

import functools, glob, hashlib, http.server, io, json, os, pathlib, re, shutil, signal, ssl, subprocess, sys, tempfile, threading, types, unittest, zipfile
from unittest import mock

from common import Case

sys.path.insert(0, os.path.join(os.environ["SOURCE_DIR"], "release"))
import pe  # (to take a signature out of an exe, and attach one)

GATE = os.path.join(os.environ["SOURCE_DIR"], "release", "gate.py")
FIFO = "a FIFO"


def step(command, cwd):
    """Runs a build step; returns what it said on standard error, which the log and a failure's exception show."""
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    sys.stderr.write(done.stderr)
    done.check_returncode()
    return done.stderr


def pack(build, into, *options):
    """Packs a build as the release is packed, into the folder `into`; returns the zip and what cpack said."""
    said = step(["cpack", "--config", "CPackConfig.cmake", "-B", into, *options], build)
    return os.path.join(into, f"timerhold-{os.environ['VERSION']}-{os.environ['PRESET']}.zip"), said


def copy_source(into):
    """A copy of the source at `into`, as a fresh clone has it: no history, nothing built."""
    return shutil.copytree(os.environ["SOURCE_DIR"], into, ignore=shutil.ignore_patterns(".git", "build"))


def rebuild(folder, *options):
    """Builds a copy of the source in `folder`, with configure options; returns the build folder."""
    source = os.path.join(folder, "timerhold")
    if not os.path.exists(source):
        copy_source(source)
    preset = os.environ["PRESET"]
    step(["cmake", "--preset", preset, "-DBUILD_TESTING=OFF", *options], source)
    step(["cmake", "--build", "--preset", preset], source)
    return os.path.join(source, "build", preset)


def read(path):
    return pathlib.Path(path).read_bytes()


def write(path, data):
    """Writes a file, and its folder if need be; returns its path."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_bytes(data)
    return path


def certificate(path, root=None, *options, usage="codeSigning", key=("rsa:2048",)):
    """A throwaway certificate and key: a root, or one for `usage` under `root`, with more of openssl req's options."""
    under = ["-CA", f"{root}.pem", "-CAkey", f"{root}.key", "-addext", f"extendedKeyUsage={usage}"] if root else []
    subprocess.run(["openssl", "req", "-x509", "-newkey", *key, "-nodes", "-subj", f"/CN={os.path.basename(path)}",
                    "-keyout", f"{path}.key", "-out", f"{path}.pem", *under, *options], check=True, capture_output=True)
    return path


def ca(issuer, *commands):
    """Runs each command of `openssl ca` as the issuer, with a database of its own."""
    pathlib.Path(f"{issuer}.index").touch()
    ca = ["openssl", "ca", "-batch", "-config", "/dev/stdin", "-cert", f"{issuer}.pem", "-keyfile", f"{issuer}.key", "-md", "sha256"]
    for command in commands:
        subprocess.run([*ca, *command], input=f"[ca]\ndefault_ca = ca\n[ca]\ndatabase = {issuer}.index\nserial = {issuer}.serial\n"
                       "policy = any\n[any]\n", text=True, check=True, capture_output=True)


def sign(exe, signer, *options):
    out = f"{signer}-{len(glob.glob(signer + '-*.exe'))}.exe"  # beside the signer's files
    subprocess.run(["osslsigncode", "sign", "-certs", f"{signer}.pem", "-key", f"{signer}.key", *options,
                    "-in", exe, "-out", out], check=True, capture_output=True)
    return out


def authority(cleanup, folder):
    """Serves, on 127.0.0.1 for the case, at TSA?DIGEST, RFC 3161 timestamps signed by TSA (in folder) with DIGEST;
    returns its URL. (osslsigncode 2.5 timestamps through HTTP only.)"""
    config = write(f"{folder}/tsa.cnf", f"[tsa]\ndefault_tsa = here\n[here]\nserial = {folder}/tsa.serial\n"
                                        "default_policy = 1.2.3.4\ndigests = sha256, sha384\n".encode())

    class Authority(http.server.BaseHTTPRequestHandler):
        log_message = lambda *args: None  # (quietly)

        def do_POST(self):
            tsa, digest = self.path[1:].split("?")
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, f"-{digest}", "-signer", f"{folder}/{tsa}.pem",
                                    "-inkey", f"{folder}/{tsa}.key", "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                                   input=self.rfile.read(int(self.headers["Content-Length"])), capture_output=True, check=True)
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.end_headers()
            self.wfile.write(reply.stdout)

    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    cleanup(server.server_close)
    cleanup(server.shutdown)
    return f"http://127.0.0.1:{server.server_port}/"


def in_session(sid):
    """The processes of the session sid, zombies aside."""
    return subprocess.run(["pgrep", "-s", str(sid), "-r", "R,S,D,T"], capture_output=True, text=True).stdout.split()


class Release(Case):
    windows = True

    def test_pe(self):
        """The exe: of its kind, console, standalone, hardened (by BinSkim's rules), with its version resource,
        small. Wine ignores DependentLoadFlags, so only the field itself can be checked."""
        dump = subprocess.run(["llvm-readobj", "--file-headers", "--sections", "--coff-imports", "--coff-load-config",
                               "--coff-debug-directory", "--coff-resources", self.exe], capture_output=True, text=True, check=True).stdout
        rows = [  # the presets a fact holds for, the fact, the pattern llvm-readobj shows it by
            ("windows-x86", "PE32", r"\n  Magic: 0x10B\n"),
            ("windows-x86", "for i386", r"\n  Machine: IMAGE_FILE_MACHINE_I386 "),
            ("windows-x86", "Windows XP and later", r"\n  MajorSubsystemVersion: 5\n  MinorSubsystemVersion: 1\n"),
            ("windows-x86", "a load configuration of the size XP takes", r"\n  Size: 0x40\n"),
            ("windows-x86", "no SEH handlers", r"\n    IMAGE_DLL_CHARACTERISTICS_NO_SEH "),
            ("windows-x64", "PE32+", r"\n  Magic: 0x20B\n"),
            ("windows-x64", "for AMD64", r"\n  Machine: IMAGE_FILE_MACHINE_AMD64 "),
            ("windows-x64", "Windows XP x64 and later", r"\n  MajorSubsystemVersion: 5\n  MinorSubsystemVersion: 2\n"),
            ("windows-x64", "a load configuration of the whole structure", r"\n  Size: 0x70\n"),
            ("windows-x64", "high-entropy ASLR", r"\n    IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA "),
            ("windows-x64", "based above 4 GB", r"\n  ImageBase: 0x[1-9A-F][0-9A-F]{8}\n"),
            ("windows-x64", "CET shadow-stack compatible", r"\n      IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT "),
            ("windows", "console subsystem", r"\n  Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI "),
            ("windows", "ASLR", r"\n    IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE "),
            ("windows", "with its relocations", r"\n    BaseRelocationTableSize: 0x[1-9A-F]"),
            ("windows", "DEP", r"\n    IMAGE_DLL_CHARACTERISTICS_NX_COMPAT "),
            ("windows", "imports from System32 only", r"\n  DependentLoadFlags: 0x800\n"),
            ("windows", "a version resource, which Explorer's Properties show", r"\n  Type: VERSIONINFO \(ID 16\) \["),
        ]
        rows = [(fact, pattern) for kind, fact, pattern in rows if os.environ["PRESET"].startswith(kind)]
        for fact, pattern in rows:
            with self.subTest(fact):
                self.assertRegex(dump, pattern)
        dlls = re.findall(r"\n  Name: (\S+)\n(?:  \w+RVA: .*\n)*((?:  Symbol: .*\n)*)", dump)
        imports = {dll.lower(): re.findall(r"Symbol: (\w+)", names) for dll, names in dlls}
        self.assertLessEqual(imports.keys(), {"kernel32.dll", "msvcrt.dll", "winmm.dll"})
        self.assertEqual(sorted(imports.get("winmm.dll", [])), ["timeBeginPeriod", "timeEndPeriod"])
        self.assertNotIn("SetProcessInformation", imports.get("kernel32.dll", []), "Windows 7 and earlier lack it")
        self.assertEqual([name for names in imports.values() for name in names if "jmp" in name], [],
                         "a shadow stack stops longjmp")
        sections = [set(re.findall(r"IMAGE_SCN_MEM_(\w+)", section))
                    for section in re.findall(r"\n  Section \{\n.*?\n  \}", dump, re.S)]
        self.assertGreater(len(sections), 2)
        self.assertEqual([s for s in sections if {"WRITE", "EXECUTE"} <= s or {"WRITE", "SHARED"} <= s], [])
        self.assertLessEqual(os.path.getsize(self.exe), 16 * 1024)

    def test_reproducible(self):
        """The same source built and packed in another folder, later, gives the same exe and zip."""
        with tempfile.TemporaryDirectory() as other:
            ours, _ = pack(os.path.dirname(self.exe), other)
            theirs = rebuild(other)
            for name, a, b in [("exe", self.exe, os.path.join(theirs, "timerhold.exe")),
                               ("zip", ours, pack(theirs, theirs)[0])]:
                with self.subTest(name):
                    self.assertTrue(pathlib.Path(a).read_bytes() == pathlib.Path(b).read_bytes(), f"the two {name}s differ")

    def test_package(self):
        """The release archive holds the exe as built and the README's user part and the licence as
        Windows text files; the checksum file beside it verifies it."""
        into = self.enterContext(tempfile.TemporaryDirectory())
        zip, _ = pack(os.path.dirname(self.exe), into)
        with zipfile.ZipFile(zip) as archive:  # at its root: Extract All makes one folder
            self.assertEqual(sorted(archive.namelist()), ["LICENSE.txt", "README.txt", "timerhold.exe"])
            self.assertTrue(archive.read("timerhold.exe") == pathlib.Path(self.exe).read_bytes())
            readme, licence = (archive.read(name) for name in ("README.txt", "LICENSE.txt"))
        for text in readme, licence:
            self.assertTrue(text.isascii())
            self.assertIsNone(re.search(rb"(?<!\r)\n|\r(?!\n)", text), "a line not ended by CRLF")
        self.assertIn(b"\r\nSources\r\n", readme)  # the user's part to its last heading, its mark gone
        self.assertNotIn(b"cmake", readme)  # and none of the builder's
        named = re.findall(rb"^ {4}.*timerhold-(\S+)-windows-(\S+?)\.zip", readme, re.M)  # (its commands: this zip alone)
        self.assertEqual(set(named), {(os.environ["VERSION"].encode(), os.environ["PRESET"].removeprefix("windows-").encode())})
        self.assertLessEqual(len(readme.split(b"\r\nSources\r\n")[0].split()), 800, "README.txt is read in full or not at all")
        check = subprocess.run(["sha256sum", "-c", "--strict", zip + ".sha256"], cwd=into,
                               capture_output=True, text=True)
        self.assertEqual((check.returncode, check.stdout), (0, f"{os.path.basename(zip)}: OK\n"))
        for name, p7s in [("missing", f"{into}/none.p7s"), ("not DER", write(f"{into}/text.p7s", b"a signature")),
                          ("not a SEQUENCE", write(f"{into}/octets.p7s", b"\x04\x00")),
                          ("a SEQUENCE and more", write(f"{into}/more.p7s", b"\x30\x00tail"))]:
            with self.subTest(name):  # packed with it, it fails in a line of its own, and no earlier zip stays behind
                write(zip, b"earlier"), write(zip + ".sha256", b"earlier")
                said = subprocess.run(["cpack", "--config", "CPackConfig.cmake", "-B", into, "-D", f"CPACK_SIGNATURE={p7s}"],
                                      cwd=os.path.dirname(self.exe), capture_output=True, text=True)
                self.assertNotEqual(said.returncode, 0)
                self.assertIn(f"\n{p7s} ", "\n" + said.stderr + said.stdout)
                self.assertNotIn("Traceback", said.stderr + said.stdout)
                self.assertFalse(os.path.exists(zip) or os.path.exists(zip + ".sha256"), "a zip left")

    def test_manifests(self):
        """release/manifests gives each zip's address and hash, and this version, to winget and Scoop."""
        into, version = self.enterContext(tempfile.TemporaryDirectory()), os.environ["VERSION"]
        zips = [write(f"{into}/zips/timerhold-{version}-windows-{arch}.zip", arch.encode()) for arch in ("x86", "x64")]
        base = f"https://github.com/owner/timerhold/releases/download/v{version}"
        subprocess.run([f"{os.environ['SOURCE_DIR']}/release/manifests", base, *zips], cwd=into, check=True)
        scoop, installer = json.loads(read(f"{into}/timerhold.json")), read(f"{into}/timerhold.timerhold.installer.yaml").decode()
        for arch, bits in ("x86", "32bit"), ("x64", "64bit"):
            url, digest = f"{base}/timerhold-{version}-windows-{arch}.zip", hashlib.sha256(arch.encode()).hexdigest()
            self.assertEqual(scoop["architecture"][bits], {"url": url, "hash": digest})
            self.assertIn(f'- Architecture: {arch}\n    InstallerUrl: "{url}"\n    InstallerSha256: "{digest.upper()}"\n', installer)
        for name in "yaml", "installer.yaml", "locale.en-US.yaml":
            self.assertIn(f'\nPackageVersion: "{version}"\n', read(f"{into}/timerhold.timerhold.{name}").decode())
        self.assertEqual((scoop["version"], scoop["checkver"]), (version, {"github": "https://github.com/owner/timerhold"}))


class Proof(Case):
    """What Wine runs of the proof on Windows: the zip's files, the prompt from NUL and pipes, and the planted
    winmm.dll loaded beside the control (Wine ignores DependentLoadFlags, so not the exe's refusal of it); and
    how the proof reads what Windows answers."""
    windows = True

    def test_proof(self):
        import proof
        into = self.enterContext(tempfile.TemporaryDirectory())
        exe = proof.extract(pack(os.path.dirname(self.exe), into)[0], into)
        proof.prompts(exe, self.command[:1])
        fixtures = os.path.join(os.path.dirname(self.exe), "tests")
        loaded = proof.planted(exe, fixtures, into, self.command[:1], dict(os.environ, WINEDLLOVERRIDES="winmm=n"))
        self.assertEqual((proof.failures, loaded[1]), ([], True))
        request = "<tr><td>Platform Timer Resolution:{}</td></tr><tr><td>Requested Period</td><td>{}</td></tr>" \
                  "<tr><td>Requesting Process Path</td><td>\\Device\\HarddiskVolume2\\{}</td></tr>".format
        other, ours = request("Outstanding Timer Request", 5000, "game.exe"), request("Outstanding Timer Request", 10000, "timerhold.exe")
        stack = request("Timer Request Stack", 5000, "timerhold.exe") + request("Timer Request Stack", 5000, "game.exe")
        self.assertEqual([proof.requested_period(other + ours + stack), proof.requested_period(other + stack)], ["10000", None])

    def test_hold(self):
        """What the proof judges while the exe waits under Wine, Windows' measurements given: timerhold's request and
        throttling bits, never what other programs change; the resolution after it ends, or is killed, recorded only."""
        import proof
        self.addCleanup(proof.failures.clear)
        coarse, ours, finer = 156250, 10000, 5000  # (100 ns units: Windows' default, timerhold's, another program's)
        held, kept = [coarse, ours, coarse, ours, coarse], [1, 4, 0]
        rows = [  # the resolution before, while waiting, after, and before and after a kill; the throttling state, the
            # build, the period powercfg's report gives timerhold, whether the proof fails
            ("another program's finer request, made while it waits", [coarse, finer, finer, finer, finer], kept, 26100, "10000", False),
            ("its request ignored", [coarse] * 5, kept, 26100, "10000", True),
            ("its request missing from powercfg's report", held, kept, 26100, None, True),
            ("another policy beside its own", held, [1, 5, 1], 26100, "10000", False),
            ("its policy not set", held, [1, 1, 0], 26100, "10000", True),
            ("its policy on", held, [1, 4, 4], 26100, "10000", True),
            ("refused on Windows 11 21H2", held, 87, 22000, "10000", False),
            ("refused on Windows 11 24H2", held, 87, 26100, "10000", True),
            ("access denied on Windows 11 21H2", held, 5, 22000, "10000", True),
        ]
        for name, resolutions, state, build, period, fails in rows:
            windows = mock.Mock(return_value=types.SimpleNamespace(build=build))
            with self.subTest(name), mock.patch.object(sys, "getwindowsversion", windows, create=True), \
                    mock.patch.multiple(proof, SETTLE=0, resolution=mock.Mock(side_effect=resolutions), line=mock.Mock(
                        return_value=("15.6", 0)), throttling=mock.Mock(return_value=state), energy_report=mock.Mock(return_value=period)):
                proof.failures.clear()
                proof.hold(self.exe, self.command[:1])
                self.assertEqual((bool(proof.failures), proof.figures["resolution after"],
                                  proof.figures["resolution after timerhold was killed"]), (fails, resolutions[2], resolutions[4]))

    def test_readme(self):
        """The lines the proof runs are the README's own, each an indented code line in it."""
        import proof
        readme = read(os.path.join(os.environ["SOURCE_DIR"], "README.md")).decode()
        for line in proof.CERTUTIL, proof.GET_FILEHASH, proof.SIGNATURE, proof.REGISTRY, proof.SLEEPS, proof.ENERGY:
            with self.subTest(line):
                self.assertTrue(re.search(f"\n {{4,}}{re.escape(line)}\n", readme), "not a code line of README.md")

    def test_signature(self):
        """Windows' verdict on the exe, as Windows PowerShell 5.1 prints the README's line (and the proof strips it),
        read by the proof: a release published with its .exe.p7s passes only if Valid, one without only if NotSigned."""
        import proof
        self.addCleanup(proof.failures.clear)
        listing = ("SignerCertificate      : {}\nTimeStamperCertificate :\nStatus                 : {}\n"
                   "StatusMessage          : {}\nPath                   : C:\\Temp\\timerhold.exe\n"
                   "SignatureType          : {}\nIsOSBinary             : False").format
        certificate = ("[Subject]\n{0}  {1}\n\n{0}[Issuer]\n{0}  CN=Example Code Signing CA, O=Example\n\n{0}[Thumbprint]\n"
                       "{0}  9F1C0A7E2B4D6F8091A3C5E7F9B1D3E5A7C9E1F3\n").format  # (each line under the first indented)
        indent, publisher = " " * 25, "CN=Jane Example, O=Jane Example, C=GB"
        valid = listing(certificate(indent, publisher), "Valid", "Signature verified.", "Authenticode")
        untrusted = listing(certificate(indent, "CN=leaf"), "UnknownError", "A certificate chain processed, but terminated "
                            f"in a root certificate which is not\n{indent}trusted by the trust provider.", "Authenticode")
        unsigned = listing("", "NotSigned", f"The file C:\\Temp\\timerhold.exe is not digitally\n{indent}signed.", "None")
        rows = [  # what Windows answers, whether the zip has its .exe.p7s beside it, the figure, whether the proof fails
            ("Valid, signed", valid, True, f"Valid, signed by {publisher}", False),
            ("UnknownError (an untrusted root), signed", untrusted, True, "UnknownError, signed by CN=leaf", True),
            ("NotSigned, signed", unsigned, True, "NotSigned", True),
            ("NotSigned, unsigned", unsigned, False, "NotSigned", False),
            ("Valid, unsigned", valid, False, f"Valid, signed by {publisher}", True),
            ("an error", "Get-AuthenticodeSignature : Cannot find path because it does not exist.", True, None, True),
        ]
        for name, listing, p7s, figure, fails in rows:
            with self.subTest(name):
                proof.failures.clear()
                proof.verdict(listing, p7s)
                self.assertEqual((proof.figures["signature"], bool(proof.failures)), (figure, fails))


class Signing(Case):
    """The gate writes the one signature of this build signed under the roots named, only if it attached to the
    unsigned build gives it back and osslsigncode verifies that, and cpack packs the build with it; else the gate
    says first why, and writes nothing. release/check, handed what users download, tells this source's release from
    anything else."""
    windows = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        tmp = cls.tmp = cls.enterClassContext(tempfile.TemporaryDirectory())
        cls.build, cls.url = os.path.dirname(cls.exe), authority(cls.addClassCleanup, tmp)
        cls.p7s = f"{tmp}/signed/timerhold-{os.environ['VERSION']}-{os.environ['PRESET']}.exe.p7s"  # (named as the zip; the gate makes its folder)
        cls.root, stranger = certificate(f"{tmp}/root"), certificate(f"{tmp}/stranger")
        cls.leaf, cls.outsider = certificate(f"{tmp}/leaf", cls.root), certificate(f"{tmp}/outsider", stranger)
        certificate(f"{tmp}/tsa", stranger, usage="critical,timeStamping")
        certificate(f"{tmp}/tsa1", cls.root, usage="critical,timeStamping")
        certificate(f"{tmp}/tsa-revoked", stranger, usage="critical,timeStamping")
        cls.signed, cls.stamped = sign(cls.exe, cls.leaf), sign(cls.exe, cls.leaf, "-ts", cls.url + "tsa?sha256")
        other = write(f"{tmp}/other.exe", read(cls.exe).replace(b"Press any key", b"Press any kez"))
        cls.another = sign(other, cls.leaf)  # (another program, signed)

        # As an authority issues them, under an intermediate, its CRL (revoking one) handed in with the TSAs'; none names a CRL to fetch
        cls.ca = certificate(f"{tmp}/ca", cls.root)
        cls.issued, cls.revoked = (certificate(f"{tmp}/{name}", cls.ca) for name in ("issued", "revoked"))
        cls.from_ca = sign(cls.exe, cls.issued, "-h", "sha384", "-ac", f"{cls.ca}.pem", "-ts", cls.url + "tsa?sha256")
        cls.handed_crl = f"{tmp}/handed.crl"
        ca(cls.ca, ["-revoke", f"{cls.revoked}.pem"], ["-gencrl", "-crldays", "30", "-out", f"{tmp}/ca.crl"])
        ca(stranger, ["-revoke", f"{tmp}/tsa-revoked.pem"], ["-gencrl", "-crldays", "30", "-out", f"{tmp}/stranger.crl"])
        write(cls.handed_crl, read(f"{tmp}/ca.crl") + read(f"{tmp}/stranger.crl"))

    def pack_signed(self, handed, *options):
        """The release packed with the signature the gate writes for `handed`, and what the gate said."""
        named = {"SIGN_ROOT": f"{self.root}.pem", "SIGN_TSA_ROOT": "", "SIGN_CRL": "", "P7S": self.p7s}
        named.update(option.split("=", 1) for option in options)
        pathlib.Path(self.p7s).unlink(missing_ok=True)
        told = step([GATE, handed, self.exe, *named.values()], self.tmp)
        return pack(self.build, f"{self.tmp}/signed", "-D", f"CPACK_SIGNATURE={named['P7S']}")[0], told

    def test_packed(self):
        tmp, exe, root, leaf = self.tmp, self.exe, self.root, self.leaf
        large = sign(exe, leaf, "-ac", certificate(f"{tmp}/large", root, "-addext", "nsComment=" + "x" * 70000) + ".pem")  # (over 64 KiB)
        extra = sign(exe, leaf, "-ac", certificate(f"{tmp}/extra") + ".pem")  # (self-signed, outside the chain)
        subprocess.run(["openssl", "x509", "-in", f"{root}.pem", "-CA", f"{tmp}/stranger.pem", "-CAkey", f"{tmp}/stranger.key",
                        "-out", f"{tmp}/cross.pem"], check=True)
        cross = sign(exe, leaf, "-ac", f"{tmp}/cross.pem")  # (the root, issued by another authority too)
        os.makedirs(f"{tmp}/unfailed")  # (names that hold a verdict's words)
        named = certificate(f"{tmp}/unfailed/no certificate revoked", certificate(f"{tmp}/unfailed/root"),
                            "-subj", "/CN=no certificate revoked/O=MISMATCH Records")
        os.symlink(write(f"{tmp}/kept", b"kept"), f"{tmp}/link.p7s")  # (P7S a symlink; beside each P7S a P7S.part)
        os.symlink(f"{tmp}/kept", write(self.p7s, b"") + ".part")
        os.mkfifo(f"{tmp}/link.p7s.part")
        lapses = "SIGNED_EXE has a signature without a timestamp: it lapses when its certificate expires\n"
        for handed, options, said in [(self.stamped, [f"SIGN_TSA_ROOT={tmp}/stranger.pem"], ""), (self.signed, [], lapses),
                                      (self.from_ca, [f"SIGN_TSA_ROOT={tmp}/stranger.pem", f"SIGN_CRL={self.handed_crl}"], ""),
                                      (large, [], lapses), (extra, [], lapses), (cross, [], lapses),
                                      (sign(exe, named), [f"SIGN_ROOT={tmp}/unfailed/root.pem"], lapses),
                                      (self.signed, [f"P7S={tmp}/link.p7s"], lapses)]:
            with self.subTest(handed):
                zip, told = self.pack_signed(handed, *options)
                self.assertEqual(zipfile.ZipFile(zip).read("timerhold.exe"), read(handed))
                self.assertEqual(told, said)
        self.assertEqual((read(f"{tmp}/kept"), os.path.islink(f"{tmp}/link.p7s")), (b"kept", False))

    def test_refused(self):
        tmp, exe, root, leaf = self.tmp, self.exe, self.root, self.leaf
        built, der = read(exe), pe.signature(read(self.signed))[0]
        ours, theirs = ("x86", "x64") if os.environ["PRESET"] == "windows-x86" else ("x64", "x86")
        kinds = {"x86": b"PE\0\0\x4c\x01", "x64": b"PE\0\0\x64\x86"}  # (as the header says)
        unverified, unread = "has a signature that does not verify up to SIGN_ROOT", "cut short, or no PKCS #7 SignedData in DER"
        weak, two = "is signed with SHA1, where SHA-256 or stronger is needed", "has more than one signature, where a release carries one"
        not_root = "cannot be judged: SIGN_ROOT is not a root certificate (self-signed, in PEM)"
        revoked, crl = "certificate that is revoked, or whose CRL is missing", f"SIGN_CRL={self.handed_crl}"
        nested = sign(self.signed, leaf, "-nest")
        signed_data, data = bytes.fromhex("06092a864886f70d010702"), bytes.fromhex("06092a864886f70d010701")  # (their OIDs)
        expired = certificate(f"{tmp}/expired")  # (then issued anew by the root, for 2020)
        ca(root, ["-ss_cert", f"{expired}.pem", "-out", f"{expired}.pem", "-outdir", tmp, "-create_serial",
                  "-startdate", "20200101000000Z", "-enddate", "20210101000000Z"])
        os.makedirs(f"{tmp}/folder.exe", exist_ok=True)
        os.mkfifo(f"{tmp}/fifo.exe")
        os.truncate(write(f"{tmp}/huge.exe", b"MZ"), 17 << 20)
        rows = [  # what is handed in, what cpack says of it, more options: first where the exe's kind matters
            ("another program", self.another, "is not this build's timerhold.exe with a signature added"),
            ("the other kind", sign(write(f"{tmp}/kind.exe", built.replace(kinds[ours], kinds[theirs], 1)), leaf),
             f"is the {theirs} timerhold.exe, not the {ours} one"),
            ("a corrupted signature", write(f"{tmp}/corrupted.exe", pe.attach(built, der[:-40] + bytes([der[-40] ^ 1]) + der[-39:])),
             unverified),  # (a bit of its value changed)
            ("a certificate damaged after signing",  # (its subject's name, in the signed exe)
             write(f"{tmp}/damaged.exe", read(self.signed).replace(b"\x0c\x04leaf", b"\x0c\x04leag")), unverified),
            ("no signature", exe, "has no signature"),
            ("bytes after the signature", write(f"{tmp}/\x1b[2Kappended.exe", read(self.signed) + b"tail"),
             "has 4 bytes after its signature"),
            ("cut short", write(f"{tmp}/cut.exe", read(self.signed)[:-500]), f"has a signature {unread}"),
        ] + ([  # then the certificates, judged alike in either kind
            ("a signer outside the root", sign(exe, self.outsider), unverified),
            ("a signer expired, with no timestamp", sign(exe, expired), unverified),
            ("a nested signature", nested, two),
            ("a nested signature failing, after a description that reads as a verdict",
             sign(sign(exe, leaf, "-n", "x\nSignature verification: ok"), self.outsider, "-nest"), two),
            ("a nested signature that does not parse (its SignedData's OID made Data's)",
             write(f"{tmp}/unparsed.exe", data.join(read(nested).rsplit(signed_data, 1))), two),
            ("content not Authenticode's, which osslsigncode fails without a verdict's line", write(f"{tmp}/content.exe", read(
                self.signed).replace(bytes.fromhex("2b060104018237020104"), bytes.fromhex("2b060104018237020105"), 1)), unverified),
            ("SHA-1", sign(exe, leaf, "-h", "sha1"), weak),
            ("a timestamp outside the roots", self.stamped, "has a timestamp that does not verify up to SIGN_TSA_ROOT"),
            ("a timestamp that does not parse", write(f"{tmp}/unstamped.exe", data.join(read(self.stamped).rsplit(signed_data, 1))),
             "has a timestamp that does not verify up to SIGN_TSA_ROOT", f"SIGN_TSA_ROOT={tmp}/stranger.pem"),
            ("a SHA-1 timestamp", sign(exe, leaf, "-ts", self.url + "tsa1?sha1"),
             "has a timestamp signed with sha1, where SHA-256 or stronger is needed"),
            ("a revoked leaf", sign(exe, self.revoked, "-ac", f"{self.ca}.pem"), "has a signer's " + revoked, crl),
            ("a TSA that SIGN_CRL revokes", sign(exe, self.issued, "-ac", f"{self.ca}.pem", "-ts", self.url + "tsa-revoked?sha256"),
             "has a timestamp's " + revoked, crl, f"SIGN_TSA_ROOT={tmp}/stranger.pem"),
            ("a signature of 15 bytes", write(f"{tmp}/empty.exe", pe.attach(built, bytes.fromhex("300d06092a864886f70d010702a000"))),
             f"has a signature {unread}"),
            ("a root in DER", self.signed, not_root,  # (which openssl reads, but osslsigncode does not)
             "SIGN_ROOT=" + write(f"{root}.der", ssl.PEM_cert_to_DER_cert(pathlib.Path(f"{root}.pem").read_text()))),
            ("a leaf as the root", self.signed, not_root, f"SIGN_ROOT={leaf}.pem"),
            ("a leaf as the root, named -help", self.signed, not_root,
             "SIGN_ROOT=" + os.path.basename(write(f"{tmp}/-help", read(f"{leaf}.pem")))),
            ("a timestamp root missing", self.stamped, "cannot be judged: SIGN_TSA_ROOT cannot be read (No such file or directory)",
             f"SIGN_TSA_ROOT={tmp}/none.pem"),
            ("a P7S that is a folder", self.signed, "passes, but P7S cannot be written (Is a directory)", f"P7S={tmp}/folder.exe"),
            ("a folder", f"{tmp}/folder.exe", "cannot be judged: SIGNED_EXE cannot be read (Is a directory)"),
            ("a FIFO", f"{tmp}/fifo.exe", "cannot be judged: SIGNED_EXE is not a file"),
            ("over 16 MiB", f"{tmp}/huge.exe", "cannot be judged: SIGNED_EXE is over 16 MiB"),
            ("a SIGN_CRL over 16 MiB", self.signed, "cannot be judged: SIGN_CRL is over 16 MiB", f"SIGN_CRL={tmp}/huge.exe"),
        ] if os.environ["PRESET"] == "windows-x64" else [])
        for name, handed, said, *options in rows:
            with self.subTest(name):
                files = sorted(os.listdir(tmp))
                with self.assertRaises(subprocess.CalledProcessError) as refused:
                    self.pack_signed(handed, *options)
                self.assertEqual(refused.exception.stderr.splitlines(),
                                 [f"SIGNED_EXE {said}: its signature is not written"])
                self.assertEqual((os.path.exists(self.p7s), sorted(os.listdir(tmp))), (False, files), "a file written")

    def test_checked(self):
        """release/check in a fresh copy of the source whose record is this host's, run in a download's folder, with
        an osslsigncode that must not be run. (It reads either kind alike.)"""
        if os.environ["PRESET"] != "windows-x64":
            self.skipTest("release/check reads either kind alike")
        tmp = self.tmp
        signed, _ = self.pack_signed(self.signed)
        unsigned = pack(self.build, f"{tmp}/unsigned")[0]
        source, name = copy_source(f"{tmp}/fresh"), os.path.basename(signed)
        subprocess.run("release/record > release/toolchain", shell=True, cwd=source, check=True)
        tree = sorted(pathlib.Path(source).rglob("*"))
        os.chmod(write(f"{tmp}/trap/osslsigncode", f"#!/bin/sh\ntouch '{tmp}/trapped'\nexit 1\n".encode()), 0o755)
        write(f"{tmp}/trap/subprocess.py", b"raise SystemExit('the caller\\'s PYTHONPATH reached it')")
        os.makedirs(f"{tmp}/bin", exist_ok=True)
        os.symlink(f"{source}/release/check", f"{tmp}/bin/check")
        os.link(f"{source}/release/check", f"{tmp}/bin/linked")
        sums, x86 = name + ".sha256", name.replace("-x64.zip", "-x86.zip")
        download = {file: read(f"{os.path.dirname(signed)}/{file}") for file in (name, sums)}
        genuine = zipfile.ZipFile(signed)

        def zipped(first=(), changed=None):
            """The genuine files, some changed, after other entries (name, data)."""
            with zipfile.ZipFile(buffer := io.BytesIO(), "w") as new:
                for file, data in first:
                    new.writestr(file, data)
                for file in genuine.namelist():
                    new.writestr(file, (changed or {}).get(file) or genuine.read(file))
            return buffer.getvalue()

        ours, found = "this source's x64 release with that signature attached", (
            "is this source's x64 release with the signature its timerhold.exe carries, which Windows, not this check, "
            "judges: Get-AuthenticodeSignature .\\timerhold.exe | Format-List")
        other = {name: zipped(changed={"timerhold.exe": read(self.another)}), sums: None}  # (a release of other source)
        differs = f"its bytes differ from {ours}"
        spaced = " ".join(hashlib.sha256(b"").hexdigest()[at:at + 2] for at in range(0, 64, 2)).upper()
        building = dict(os.environ, PATH=f"{tmp}/trap:{os.environ['PATH']}", CXXFLAGS="-fstack-protector-strong",
                        LDFLAGS="-Wl,--image-base=0x140001000", CMAKE_INSTALL_MODE="ABS_SYMLINK")  # (none reach the build)
        rows = [  # the download's files changed (None: gone), what release/check says after the zip's name, how it is run
            ("signed, without its .exe.p7s", {}, found),
            ("unsigned", {name: read(unsigned), sums: read(unsigned + ".sha256")}, "is this source's x64 release, unsigned"),
            ("another program", other, differs),
            ("a changed README.txt", {name: zipped(changed={"README.txt": b"Run it as administrator.\r\n"}), sums: None},
             differs),
            ("a second timerhold.exe first", {name: zipped([("timerhold.exe", b"MZ")]), sums: None}, differs),
            ("the release appended to another zip", {name: zipped([("winmm.dll", b"MZ")]) + download[name], sums: None},
             differs),
            ("a name that moves the cursor, of no file", {}, "cannot be checked here: it does not exist",
             {"name": "\x1b[2K\rZ is this source's release\x1b[8m"}),
            ("bytes after the signature", {name: zipped(changed={"timerhold.exe": read(self.signed) + b"tail"}), sums: None},
             differs),
            ("a zip that does not match its checksum", {sums: b"0" * 64}, f"does not have the SHA-256 in {sums}"),
            ("a .sha256 in BSD form", {sums: f"SHA256 ({name}) = {hashlib.sha256(download[name]).hexdigest()}\n".encode()}, found),
            ("certutil's older .sha256, in UTF-16, of another zip", {sums: f"SHA256 hash of {name}:\r\n{spaced}\r\n"
             "CertUtil: -hashfile command completed successfully.\r\n".encode("utf-16")}, f"does not have the SHA-256 in {sums}"),
            ("hard-linked outside its tree", {}, "cannot be checked here: it finds no source beside it (it is a copy, or a "
             "hard link, of release/check)", {"check": f"{tmp}/bin/linked"}),
            ("a .sha256 that is a FIFO held open", {sums: FIFO}, f"cannot be checked here: {sums} is not a file"),
            ("the x64 release under an x86 name", {x86: download[name], name: None, sums: None}, found, {"name": x86}),
            ("through a symlink, with the caller's PYTHONPATH and PYTHONHOME", {}, found,
             {"check": f"{tmp}/bin/check", "PYTHONPATH": f"{tmp}/trap", "PYTHONHOME": "/nonexistent"}),
            ("a TMPDIR holding ;", {}, f"cannot be checked here: TMPDIR ({tmp}/a;b) holds one of ; [ ] $ \" ' ( ) < > | ` "
                                       "\\ # \\t \\n, which the build cannot take in a path", {"TMPDIR": f"{tmp}/a;b"}),
            ("output closed", {}, "", {"check": "sh", "arguments": ["-c", 'exec "$0" "$@" >&-', f"{source}/release/check"]}),
        ]
        checks = []
        for row, changes, said, *how in rows + rows[:2]:  # (the genuine ones twice, the second time at once)
            how = how[0] if how else {}
            folder = self.enterContext(tempfile.TemporaryDirectory())
            for file, data in {**download, **changes}.items():
                if data is FIFO:  # (with a writer that holds it open)
                    os.mkfifo(f"{folder}/{file}")
                    self.addCleanup(os.close, os.open(f"{folder}/{file}", os.O_RDWR))
                elif data is not None:
                    write(f"{folder}/{file}", data)
            os.makedirs(how.get("TMPDIR", tmp), exist_ok=True)
            command = [how.pop("check", f"{source}/release/check"), *how.pop("arguments", []), how.get("name", name)]
            status = 0 if said.startswith("is this source's") else 2 if said.startswith("cannot") or not said else 1
            shown = how.pop("name", name).encode("unicode_escape").decode()  # (its control characters written out)
            checks.append((row, status, f"{shown} {said}\n" if said else "", subprocess.Popen(
                command, cwd=folder, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env={**building, **how})))
            if len(checks) < len(rows):  # (the last row's check and the two after it run at once)
                checks[-1][3].wait()
        for row, status, said, check in checks:
            with self.subTest(row):
                self.assertEqual((check.wait(), check.stdout.read()), (status, said))
        toolchain = pathlib.Path(source, "release", "toolchain")
        cmake = toolchain.read_text().split("\ncmake=")[1].split()[0]
        toolchain.write_text(toolchain.read_text().replace(f"\ncmake={cmake}", f"\ncmake=0{cmake}"))  # (another record)
        folder = self.enterContext(tempfile.TemporaryDirectory())
        for row, files, said, caller in [  # (the genuine zip last, for the signals after)
            ("another program, where the record differs, by a caller that ignores SIGCHLD", other, "cannot be checked here: "
             f"its bytes differ from this source's x64 release as built here, where this host has cmake {cmake}, "
             f"release/toolchain 0{cmake}: a Debian 12 with release/toolchain's versions can tell (see the README)",
             functools.partial(signal.signal, signal.SIGCHLD, signal.SIG_IGN)),
            ("genuine, where the record differs", download, found, None)]:
            with self.subTest(row):
                write(f"{folder}/{name}", files[name])
                check = subprocess.run([f"{source}/release/check", name], cwd=folder, capture_output=True, text=True,
                                       preexec_fn=caller)
                self.assertEqual((check.returncode, check.stdout + check.stderr), (2 if "cannot" in said else 0, f"{name} {said}\n"))
        for number, caller, said in [  # a signal while it builds ends its build, and its folder goes; one ignored, as under
                (signal.SIGTERM, None, "Terminated"), (signal.SIGQUIT, None, "Quit"),  # nohup, changes nothing
                (signal.SIGHUP, functools.partial(signal.signal, signal.SIGHUP, signal.SIG_IGN), None)]:
            with self.subTest(signal.Signals(number).name), tempfile.TemporaryDirectory() as empty:
                check = subprocess.Popen([f"{source}/release/check", name], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                         text=True, env=dict(building, TMPDIR=empty), preexec_fn=caller, start_new_session=True)
                self.until("a step ran a process", lambda: len(in_session(check.pid)) > 2)  # (its steps: in its session)
                check.send_signal(number)
                self.assertEqual((check.wait(), check.stderr.read(), os.listdir(empty), in_session(check.pid)), (-number,
                                 f"{name} was not checked: interrupted ({said}); nothing of its build is left\n", [], [])
                                 if said else (0, "", [], []))  # (the last: a process of its build left)
        self.assertFalse(os.path.exists(f"{tmp}/trapped"), "osslsigncode was run")
        self.assertEqual([p for p in sorted(pathlib.Path(source).rglob("*")) if "build" not in p.parts], tree, "left in the tree")


if __name__ == "__main__":
    unittest.main()
