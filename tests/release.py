#!/usr/bin/env python3
"""The release's files: the exe as a user downloads it, its zip, the signed release. CTest
names the preset (PRESET), the version (VERSION) and the source (SOURCE_DIR) in the environment."""

import functools, glob, http.server, os, pathlib, re, shutil, subprocess, sys, tempfile, threading, unittest, zipfile

from common import Case

sys.path.insert(0, os.path.join(os.environ["SOURCE_DIR"], "release"))
import pe  # (to take a signature out of an exe, and attach one)

UNSIGNED = ("-D", "CPACK_SIGNED_EXE=")  # whatever the build folder was configured to sign


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


def certificate(path, root=None, *options, usage="codeSigning", key=("rsa:2048",)):
    """A throwaway certificate and key: a root, or one for `usage` under `root`, with more of openssl req's options."""
    under = ["-CA", f"{root}.pem", "-CAkey", f"{root}.key", "-addext", f"extendedKeyUsage={usage}"] if root else []
    subprocess.run(["openssl", "req", "-x509", "-newkey", *key, "-nodes", "-subj", f"/CN={os.path.basename(path)}",
                    "-keyout", f"{path}.key", "-out", f"{path}.pem", *under, *options], check=True, capture_output=True)
    return path


def crl(issuer, *revoked):
    """The issuer's CRL, in PEM, revoking the certificates named."""
    pathlib.Path(f"{issuer}.index").touch()
    ca = ["openssl", "ca", "-config", "/dev/stdin", "-cert", f"{issuer}.pem", "-keyfile", f"{issuer}.key", "-md", "sha256"]
    for command in [["-revoke", f"{path}.pem"] for path in revoked] + [["-gencrl", "-crldays", "30", "-out", f"{issuer}.crl"]]:
        subprocess.run([*ca, *command], input=f"[ca]\ndefault_ca = ca\n[ca]\ndatabase = {issuer}.index\n", text=True,
                       check=True, capture_output=True)
    return f"{issuer}.crl"


def sign(exe, signer, *options):
    out = f"{signer}-{len(glob.glob(signer + '-*.exe'))}.exe"  # beside the signer's files
    subprocess.run(["osslsigncode", "sign", "-certs", f"{signer}.pem", "-key", f"{signer}.key", *options,
                    "-in", exe, "-out", out], check=True, capture_output=True)
    return out


def serve(case, handler, **options):
    """Serves HTTP on 127.0.0.1 with `handler`, quietly, for the case; returns its URL."""
    quiet = type("Quiet", (handler,), {"log_message": lambda *args: None})
    server = http.server.HTTPServer(("127.0.0.1", 0), functools.partial(quiet, **options))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    case.addCleanup(server.server_close)
    case.addCleanup(server.shutdown)
    return f"http://127.0.0.1:{server.server_port}/"


def timestamp_server(case, tsa, digest="sha256"):
    """An RFC 3161 timestamp authority signing with `tsa` on 127.0.0.1 (osslsigncode 2.5 timestamps
    through one only); returns its URL."""
    pathlib.Path(f"{tsa}.cnf").write_text(f"[tsa]\ndefault_tsa = here\n[here]\nserial = {tsa}.serial\n"
                                          f"signer_digest = {digest}\ndefault_policy = 1.2.3.4\ndigests = sha256, sha384\n")
    reply = ["openssl", "ts", "-reply", "-config", f"{tsa}.cnf", "-queryfile", "/dev/stdin", "-signer", f"{tsa}.pem",
             "-inkey", f"{tsa}.key", "-out", "/dev/stdout"]

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.end_headers()
            self.wfile.write(subprocess.run(reply, input=query, capture_output=True, check=True).stdout)

    return serve(case, Authority)


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
            ours, _ = pack(os.path.dirname(self.exe), other, *UNSIGNED)
            theirs = rebuild(other)
            for name, a, b in [("exe", self.exe, os.path.join(theirs, "timerhold.exe")),
                               ("zip", ours, pack(theirs, theirs)[0])]:
                with self.subTest(name):
                    self.assertTrue(pathlib.Path(a).read_bytes() == pathlib.Path(b).read_bytes(), f"the two {name}s differ")

    def test_package(self):
        """The release archive holds the exe as built and the README's user part and the licence as
        Windows text files; the checksum file beside it verifies it; no signature is beside it."""
        into = self.enterContext(tempfile.TemporaryDirectory())
        zip, _ = pack(os.path.dirname(self.exe), into, *UNSIGNED)
        with zipfile.ZipFile(zip) as archive:  # at its root: Extract All makes one folder
            self.assertEqual(sorted(archive.namelist()), ["LICENSE.txt", "README.txt", "timerhold.exe"])
            self.assertTrue(archive.read("timerhold.exe") == pathlib.Path(self.exe).read_bytes())
            readme, licence = (archive.read(name) for name in ("README.txt", "LICENSE.txt"))
        for text in readme, licence:
            self.assertTrue(text.isascii())
            self.assertIsNone(re.search(rb"(?<!\r)\n|\r(?!\n)", text), "a line not ended by CRLF")
        self.assertIn(b"\r\nLicence\r\n", readme)  # the user's part to its last heading, its mark gone
        self.assertNotIn(b"cmake", readme)  # and none of the builder's
        self.assertLessEqual(len(readme.split()), 1100, "README.txt is read in full or not at all")
        check = subprocess.run(["sha256sum", "-c", "--strict", zip + ".sha256"], cwd=into,
                               capture_output=True, text=True)
        self.assertEqual((check.returncode, check.stdout), (0, f"{os.path.basename(zip)}: OK\n"))
        self.assertFalse(os.path.exists(zip.removesuffix(".zip") + ".exe.p7s"))

    def test_signing(self):
        """cpack packs this build signed as Windows trusts it, under the roots named, only if its signature
        attached to the unsigned build gives it back; else it says first why, and leaves no exe in any zip.
        release/check, handed what users download, tells this source's release from anything else."""
        with tempfile.TemporaryDirectory() as tmp:
            build = rebuild(tmp)
            exe, other = os.path.join(build, "timerhold.exe"), pathlib.Path(tmp, "other.exe")
            built = pathlib.Path(exe).read_bytes()
            other.write_bytes(built.replace(b"Press any key", b"Press any kez"))
            machine = built.index(b"PE\0\0") + 4  # the other kind's exe, as far as the header tells
            kinds = {b"\x4c\x01": b"\x64\x86", b"\x64\x86": b"\x4c\x01"}
            pathlib.Path(tmp, "kind.exe").write_bytes(built[:machine] + kinds[built[machine:machine + 2]] + built[machine + 2:])
            root, stranger = certificate(f"{tmp}/root"), certificate(f"{tmp}/stranger")
            leaf, outsider = certificate(f"{tmp}/leaf", root), certificate(f"{tmp}/outsider", stranger)
            ecdsa = sign(exe, certificate(f"{tmp}/ecdsa", root, key=("ec", "-pkeyopt", "ec_paramgen_curve:P-256")))
            tsa = certificate(f"{tmp}/tsa", stranger, usage="critical,timeStamping")
            signed, stamped = sign(exe, leaf), sign(exe, leaf, "-ts", timestamp_server(self, tsa))

            # As an authority issues them: under an intermediate whose CRL is fetched, its own CRL (revoking one) handed in
            subprocess.run(["openssl", "crl", "-in", crl(root), "-outform", "DER", "-out", f"{tmp}/root.der.crl"], check=True)
            fetched = serve(self, http.server.SimpleHTTPRequestHandler, directory=tmp) + "root.der.crl"
            ca = certificate(f"{tmp}/ca", root, "-sha384", "-addext", f"crlDistributionPoints=URI:{fetched}")
            strong = ("-sha384", "-addext", "crlDistributionPoints=URI:http://127.0.0.1:1/ca.crl")  # (unreachable)
            issued, revoked = (certificate(f"{tmp}/{name}", ca, *strong, key=("rsa:3072",)) for name in ("issued", "revoked"))
            from_ca = sign(exe, issued, "-h", "sha384", "-ac", f"{ca}.pem", "-ts", timestamp_server(self, tsa))
            pathlib.Path(tmp, "appended.exe").write_bytes(pathlib.Path(signed).read_bytes() + b"tail")
            corrupted = pe.signature(pathlib.Path(signed).read_bytes())[0]
            corrupted = corrupted[:-40] + bytes([corrupted[-40] ^ 1]) + corrupted[-39:]  # a bit of its value changed
            pathlib.Path(tmp, "corrupted.exe").write_bytes(pe.attach(built, corrupted))
            another = sign(other, leaf)

            def nothing_packed():  # beside the build, nor an exe in cpack's staging
                self.assertEqual(glob.glob(f"{build}/timerhold-*"), [], "something was packed")
                left = glob.glob(f"{build}/_CPack_Packages/**/*.*", recursive=True)
                self.assertEqual([f for f in left if not f.endswith(".zip") or zipfile.ZipFile(f).namelist()], [])

            lapses = "{} has a signature without a timestamp: it lapses when its certificate expires\n".format
            handed_crl = crl(ca, revoked)
            for handed, tsa_root, crls, said in [(stamped, f"{stranger}.pem", "", ""), (signed, "", "", lapses(signed)),
                                                 (from_ca, f"{stranger}.pem", handed_crl, ""), (ecdsa, "", "", lapses(ecdsa))]:
                rebuild(tmp, f"-DSIGNED_EXE={handed}", f"-DSIGN_ROOT={root}.pem", f"-DSIGN_TSA_ROOT={tsa_root}",
                        f"-DSIGN_CRL={crls}")
                zip, told = pack(build, f"{tmp}/signed")
                packed = zipfile.ZipFile(zip).read("timerhold.exe")
                self.assertEqual((packed == pathlib.Path(handed).read_bytes(), told), (True, said))

            unverified = f"has a signature that does not verify up to {root}.pem"
            weak = "is signed with SHA1, where SHA-256 or stronger is needed"
            kind = {"windows-x86": ("x64", "x86"), "windows-x64": ("x86", "x64")}[os.environ["PRESET"]]
            rows = [  # what is handed in, what cpack says of it
                ("another program", another, "is not this build's timerhold.exe with a signature added"),
                ("the other kind", sign(f"{tmp}/kind.exe", leaf), "is the {} timerhold.exe, not the {} one".format(*kind)),
                ("a signer outside the root", sign(exe, outsider),
                 "has a certificate that openssl refuses (CN = outsider: unable to get local issuer certificate)"),
                ("a corrupted signature", f"{tmp}/corrupted.exe", unverified),
                ("no signature", exe, "has no signature"),
                ("SHA-1", sign(exe, leaf, "-h", "sha1"), weak),
                ("SHA-1 nested under SHA-256", sign(signed, leaf, "-nest", "-h", "sha1"), weak),
                ("a timestamp outside the roots", stamped, f"has a timestamp that does not verify up to {root}.pem"),
                ("a SHA-1 timestamp", sign(exe, leaf, "-ts", timestamp_server(
                    self, certificate(f"{tmp}/tsa1", root, usage="critical,timeStamping"), "sha1")),
                 "has a timestamp signed with sha1, where SHA-256 or stronger is needed"),
                ("an unfetchable CRL", from_ca, "has a certificate (CN = issued) whose CRL is not in SIGN_CRL "
                                                "and cannot be fetched from http://127.0.0.1:1/ca.crl"),
                ("a revoked leaf", sign(exe, revoked, "-ac", f"{ca}.pem"),
                 "has a certificate that openssl refuses (CN = revoked: certificate revoked)", f"-DSIGN_CRL={handed_crl}"),
                ("a weak leaf key", sign(exe, certificate(f"{tmp}/weak", root, key=("rsa:1024",))),
                 "has a certificate that openssl refuses (CN = weak: EE certificate key too weak)"),
                ("a leaf signed with SHA-1", sign(exe, certificate(f"{tmp}/sha1", root, "-sha1")),
                 "has a certificate that openssl refuses (CN = sha1: CA signature digest algorithm too weak)"),
                ("bytes after the signature", f"{tmp}/appended.exe", "has 4 bytes after its signature"),
                ("a root in DER", signed, f"cannot be judged: SIGN_ROOT ({root}.der) is not a root certificate (self-signed, in PEM)",
                 f"-DSIGN_ROOT={root}.der"),  # (which openssl reads, but osslsigncode does not)
                ("a leaf as the root", signed, f"cannot be judged: SIGN_ROOT ({leaf}.pem) is not a root certificate "
                                               "(self-signed, in PEM)", f"-DSIGN_ROOT={leaf}.pem"),
                ("a timestamp root missing", stamped, f"cannot be judged: SIGN_TSA_ROOT ({tmp}/none.pem) does not exist",
                 f"-DSIGN_TSA_ROOT={tmp}/none.pem"),
            ]
            subprocess.run(["openssl", "x509", "-in", f"{root}.pem", "-outform", "DER", "-out", f"{root}.der"], check=True)
            for name, handed, said, *options in rows:
                with self.subTest(name):
                    rebuild(tmp, f"-DSIGNED_EXE={handed}", f"-DSIGN_ROOT={root}.pem", "-DSIGN_TSA_ROOT=", "-DSIGN_CRL=", *options)
                    with self.assertRaises(subprocess.CalledProcessError) as refused:
                        pack(build, build)
                    self.assertEqual(refused.exception.stderr.splitlines()[0], f"{handed} {said}: nothing is packed")
                    nothing_packed()

            if os.environ["PRESET"] == "windows-x64":  # (the checker reads either kind alike)
                self.check_releases(tmp, zip, pack(build, f"{tmp}/unsigned", *UNSIGNED)[0],
                                    pe.signature(pathlib.Path(another).read_bytes())[0])

            pack(build, build, *UNSIGNED)  # for a refused configuration to clear away
            with self.assertRaises(subprocess.CalledProcessError) as refused:
                rebuild(tmp, f'-DSIGNED_EXE={tmp}/"quoted".exe')
            self.assertIn("SIGNED_EXE holds a ';', '\"', '\\', '$' or line break: move or rename it",
                          " ".join(refused.exception.stderr.split()))  # (as CMake wraps it)
            nothing_packed()

    def check_releases(self, tmp, signed_zip, unsigned_zip, unrelated):
        """release/check in a fresh copy of the source, which it builds, from another folder, with an
        osslsigncode that must not be run."""
        source = copy_source(f"{tmp}/fresh")
        tree = sorted(pathlib.Path(source).rglob("*"))
        trap = pathlib.Path(tmp, "trap", "osslsigncode")
        trap.parent.mkdir()
        trap.write_text(f"#!/bin/sh\ntouch '{tmp}/trapped'\nexit 1\n")
        trap.chmod(0o755)
        name = os.path.basename(signed_zip)

        def zipped(folder, member, data):  # the zip with one file replaced, and its checksum to match
            with zipfile.ZipFile(f"{folder}/{name}") as old:
                files = {n: old.read(n) for n in old.namelist()}
            with zipfile.ZipFile(f"{folder}/{name}", "w") as new:
                for n, content in files.items():
                    new.writestr(n, data if n == member else content)
            subprocess.run(f"sha256sum {name} > {name}.sha256", shell=True, cwd=folder, check=True)

        signature = pathlib.Path(signed_zip.removesuffix(".zip") + ".exe.p7s").read_bytes()
        p7s = name.removesuffix(".zip") + ".exe.p7s"
        rows = [  # the release, what is done to it, the status, what release/check says after the zip's name
            ("signed", signed_zip, None, 0, f" is this source's release, signed with {{}}/{p7s}"),
            ("unsigned", unsigned_zip, None, 0, " is this source's release, unsigned"),
            ("an exe that is none", signed_zip, lambda d: zipped(d, "timerhold.exe", b"MZ"), 1,
             " holds no x86 or x64 timerhold.exe"),
            ("a changed exe", signed_zip, lambda d: zipped(d, "timerhold.exe", zipfile.ZipFile(signed_zip).read(
                "timerhold.exe").replace(b"Press any key", b"Press any kez")), 1, " holds a timerhold.exe that differs from this source's"),
            ("a changed README.txt", unsigned_zip, lambda d: zipped(d, "README.txt", b"Run it as administrator.\r\n"), 1,
             " holds a README.txt that differs from this source's"),
            ("another exe's signature", signed_zip, lambda d: pathlib.Path(d, p7s).write_bytes(unrelated), 1,
             f" holds a timerhold.exe not signed with {{}}/{p7s}"),
            ("a .p7s that is not a signature", signed_zip, lambda d: pathlib.Path(d, p7s).write_bytes(signature[:-1]), 1,
             f" has beside it {{}}/{p7s}, which is not a signature"),
            ("an exe signed, no .p7s", signed_zip, lambda d: os.remove(f"{d}/{p7s}"), 1,
             " holds a signed timerhold.exe, and no .exe.p7s lies beside it"),
            ("a zip that does not match its checksum", unsigned_zip, lambda d: pathlib.Path(d, f"{name}.sha256").write_text(
                "0" * 64 + f"  {name}\n"), 1, f" does not have the SHA-256 in {{}}/{name}.sha256"),
            ("not a zip", unsigned_zip, lambda d: pathlib.Path(d, name).write_bytes(signature), 1,
             " cannot be read as a zip: File is not a zip file"),
        ]
        for row, release, change, status, said in rows:
            with self.subTest(row):
                folder = self.enterContext(tempfile.TemporaryDirectory())
                for file in glob.glob(release + "*") + glob.glob(release.removesuffix(".zip") + ".exe.p7s"):
                    shutil.copy(file, folder)
                if change:
                    change(folder)
                done = subprocess.run([f"{source}/release/check", f"{folder}/{name}"], cwd=folder, capture_output=True,
                                      text=True, env=dict(os.environ, PATH=f"{trap.parent}:{os.environ['PATH']}"))
                self.assertEqual((done.returncode, done.stdout + done.stderr), (status, f"{folder}/{name}{said.format(folder)}\n"))
        self.assertFalse(os.path.exists(f"{tmp}/trapped"), "osslsigncode was run")
        self.assertEqual([p for p in sorted(pathlib.Path(source).rglob("*")) if "build" not in p.parts], tree, "left in the tree")


if __name__ == "__main__":
    unittest.main()
