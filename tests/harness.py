#!/usr/bin/env python3
"""Runs timerhold the way a user or a script does and checks what it does.

    harness.py GROUP COMMAND...

COMMAND runs the program. Natively it is the build linked with recording
timer calls, which write each call as a line to descriptor 3, or (group
"shipped") the build that users run, whose calls cannot be seen. For the
Windows build it is Wine and the exe, and Wine's relay trace, on standard
error, shows the calls.
"""

import errno
import fcntl
import glob
import http.server
import itertools
import os
import pathlib
import platform
import pty
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
import zipfile

COMMAND = sys.argv[2:]
WINE = COMMAND[-1].endswith(".exe")
PROMPT = b"Press any key to restore normal timer frequency." + (b"\r\n" if WINE else b"\n")
BEGIN, END = "timeBeginPeriod(1)", "timeEndPeriod(1)"
KEEP = "SetProcessInformation(4, 12)"  # ProcessPowerThrottling, with its 12-byte state
TIMEOUT = 20 if WINE else 10

# The numbers of read(2) and write(2), as /proc/PID/syscall shows them.
SYSCALL = {"x86_64": {"read": 0, "write": 1}, "i686": {"read": 3, "write": 4},
           "aarch64": {"read": 63, "write": 64}}[platform.machine()]

# What a relay trace line says the program did: a winmm call with its argument,
# the power throttling setting (its class and size), a write with its length,
# a read of standard input begun or returned.
TRACE = re.compile(r"([0-9a-f]{4}):(?:Call winmm\.(\w+)\((\w+)\)"
                   r"|Call KERNEL32\.SetProcessInformation\(\w+,(\w+),\w+,(\w+)\)"
                   r"|Call KERNEL32\.Write(?:File|Console[AW])\(\w+,\w+,(\w+)"
                   r"|(Call|Ret ) KERNEL32\.Read(?:File|Console[AW])\()")


def events(trace):
    """The program's own thread in a relay trace, as a list of events."""
    thread, seen = None, []
    for line in trace.splitlines():
        m = TRACE.match(line)
        if not m or (thread or m[1]) != m[1]:
            continue
        thread = m[1]
        if m[2]:
            seen.append(f"{m[2]}({int(m[3], 16)})")
        elif m[4]:
            seen.append(f"SetProcessInformation({int(m[4], 16)}, {int(m[5], 16)})")
        elif m[6]:
            seen.append(f"write({int(m[6], 16)})")
        else:
            seen.append("reading" if m[7] == "Call" else "read")
    return seen


def untraced(trace):
    """What is left on standard error once Wine's trace lines are taken out."""
    return "".join(line for line in trace.splitlines(True) if not re.match(r"[0-9a-f]{4}:", line))


class Files:
    """A folder for one instance's files: its standard error ("err"),
    descriptor 3 ("record") and whatever else a case puts there."""

    def __init__(self, test):
        self.dir = tempfile.TemporaryDirectory()
        test.addCleanup(self.dir.cleanup)

    def file(self, name):
        try:
            with open(os.path.join(self.dir.name, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def events(self):
        return events((self.file("err") or b"").decode(errors="replace"))

    def calls(self):
        """The timer calls so far, in order."""
        if WINE:
            return [e for e in self.events() if e.startswith("time")]
        return self.file("record").decode().splitlines()

    def err(self):
        err = self.file("err").decode(errors="replace")
        return untraced(err) if WINE else err


class Run(Files):
    """One instance of the program, started through sh so that a case sets
    up standard input and output with the shell's own redirections."""

    def __init__(self, test, shell, args=(), env=None, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                 terminal=False):
        super().__init__(test)
        env = dict(os.environ, DIR=self.dir.name, **(env or {}))
        if WINE:
            env["WINEDEBUG"] = "+relay"
        self.proc = subprocess.Popen(
            ["sh", "-c", shell + ' 2>"$DIR/err" 3>"$DIR/record"', "sh", *COMMAND, *args],
            env=env, stdin=stdin, stdout=stdout, start_new_session=True,
            preexec_fn=(lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)) if terminal else None)
        test.addCleanup(self.stop)

    def output(self):
        """What has reached standard output so far, when it is a pipe."""
        if self.proc.poll() is not None:
            return self.proc.stdout.read()
        return os.read(self.proc.stdout.fileno(), 4096) if readable(self.proc.stdout) else b""

    def sleeping_in(self, call, fd):
        if WINE:
            return call == "read" and self.events()[-1:] == ["reading"]
        with open(f"/proc/{self.proc.pid}/syscall") as f:
            return f.read().split()[:2] == [str(SYSCALL[call]), hex(fd)]

    def wait_in(self, test, call="read", fd=0):
        """Returns once the program sleeps in `call` on `fd`: by default,
        once it waits for input with everything before the wait done."""
        def sleeping():
            test.assertIsNone(self.proc.poll(), f"ended without sleeping in {call}({fd})")
            return self.sleeping_in(call, fd)
        until(test, f"slept in {call}({fd})", sleeping)

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            if pipe:
                pipe.close()


def readable(fd, timeout=0):
    return bool(select.select([fd], [], [], timeout)[0])


def read_until(fd, wanted=None):
    """Reads a pseudo-terminal's master side until `wanted` has been shown,
    or, without `wanted`, until the other side is closed."""
    seen = b""
    deadline = time.monotonic() + TIMEOUT
    while (wanted is None or wanted not in seen) and readable(fd, deadline - time.monotonic()):
        try:
            seen += os.read(fd, 4096)
        except OSError:  # EIO: no process has the terminal open any more
            break
    return seen


def until(test, what, condition):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        test.assertLess(time.monotonic(), deadline, f"never {what}")
        time.sleep(0.02)


def step(command, cwd):
    """Runs a build step. What it says on standard error reaches the log, and
    the exception when it fails; it is returned."""
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    sys.stderr.write(done.stderr)
    done.check_returncode()
    return done.stderr


UNSIGNED = ("-D", "CPACK_SIGNED_EXE=")  # whatever the build folder was configured to sign


def pack(build, into, *options):
    """Packs a build as the release is packed, into the folder `into`; returns the
    zip's path and what cpack said."""
    said = step(["cpack", "--config", "CPackConfig.cmake", "-B", into, *options], build)
    return os.path.join(into, f"timerhold-{os.environ['VERSION']}-{os.environ['PRESET']}.zip"), said


def rebuild(folder, *options):
    """Builds the source again from a copy in `folder`, with configure
    options; returns the build folder."""
    source = os.path.join(folder, "timerhold")
    if not os.path.exists(source):
        shutil.copytree(os.environ["SOURCE_DIR"], source, ignore=shutil.ignore_patterns(".git", "build"))
    preset = os.environ["PRESET"]
    step(["cmake", "--preset", preset, "-DBUILD_TESTING=OFF", *options], source)
    step(["cmake", "--build", "--preset", preset], source)
    return os.path.join(source, "build", preset)


def certificate(path, root=None, usage="codeSigning", key=("rsa:2048",)):
    """A throwaway certificate and key: a root, or one for `usage` under `root`."""
    under = ["-CA", f"{root}.pem", "-CAkey", f"{root}.key", "-addext", f"extendedKeyUsage={usage}"] if root else []
    subprocess.run(["openssl", "req", "-x509", "-newkey", *key, "-nodes", "-subj", f"/CN={os.path.basename(path)}",
                    "-keyout", f"{path}.key", "-out", f"{path}.pem", *under], check=True, capture_output=True)
    return path


SIGNED = itertools.count()


def sign(exe, signer, *options):
    out = f"{signer}-{next(SIGNED)}.exe"  # beside the signer's files
    subprocess.run(["osslsigncode", "sign", "-certs", f"{signer}.pem", "-key", f"{signer}.key", *options,
                    "-in", exe, "-out", out], check=True, capture_output=True)
    return out


def timestamp_server(test, tsa):
    """An RFC 3161 timestamp authority on 127.0.0.1 that signs with `tsa`; returns
    its URL. (osslsigncode 2.5 cannot timestamp without one.)"""
    with open(f"{tsa}.cnf", "w") as f:
        f.write(f"[tsa]\ndefault_tsa = here\n[here]\nserial = {tsa}.serial\nsigner_digest = sha256\n"
                "default_policy = 1.2.3.4\ndigests = sha256\ness_cert_id_alg = sha256\n")

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", f"{tsa}.cnf", "-queryfile", "/dev/stdin",
                                    "-signer", f"{tsa}.pem", "-inkey", f"{tsa}.key", "-out", "/dev/stdout"],
                                   input=query, capture_output=True, check=True).stdout
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    test.addCleanup(server.server_close)
    test.addCleanup(server.shutdown)
    return f"http://127.0.0.1:{server.server_port}/"


# Standard input at its end, closed, unreadable or holding data: no wait.
INPUTS = [
    ("an empty file", ': > "$DIR/empty"; exec "$@" < "$DIR/empty"'),
    ("/dev/null", 'exec "$@" < /dev/null'),
    ("closed", 'exec "$@" <&-'),
    ("a directory", 'exec "$@" < /'),
    ("a pipe closed at once", ': | "$@"'),
    ("a pipe holding a line", 'echo y | "$@"'),
    ("a pipe that never ends", 'yes | "$@"'),
    ("a file of 100000 bytes", 'head -c 100000 /dev/zero > "$DIR/data"; exec "$@" < "$DIR/data"'),
]


class Cases(unittest.TestCase):
    def start(self, shell, args=(), **kwargs):
        return Run(self, shell, args, **kwargs)

    def assertRan(self, run, out=PROMPT, calls=(BEGIN, END)):
        """The whole sequence, once: begin, the prompt, end, exit 0, nothing else."""
        self.assertEqual(run.proc.wait(TIMEOUT), 0)
        self.assertEqual(run.output(), out)
        self.assertEqual(run.err(), "")
        self.assertEqual(run.calls(), list(calls))

    def test_terminal(self):
        """On a terminal: the prompt at once; keys alone do not end the wait,
        a line or end of input (Ctrl+D) does; Ctrl+C is left to the default
        handling, which ends the program where it stands."""
        rows = [  # the key that ends the wait, its echo, the exit status, the calls made
            ("Enter", b"\r", b"\r\n", 0, [BEGIN, END]),
            ("Ctrl+D", b"\x04", b"", 0, [BEGIN, END]),
            ("Ctrl+C", b"\x03", b"^C", -signal.SIGINT, [BEGIN]),
        ]
        for name, key, echo, status, calls in rows:
            with self.subTest(name):
                master, slave = pty.openpty()
                self.addCleanup(os.close, master)
                termios.tcflow(slave, termios.TCOOFF)  # as Ctrl+S does: writing the prompt blocks
                run = self.start('exec "$@"', stdin=slave, stdout=slave, terminal=True)
                run.wait_in(self, "write", 1)
                self.assertEqual(run.calls(), [BEGIN], "the period is raised before the prompt is written")
                termios.tcflow(slave, termios.TCOON)
                os.close(slave)

                run.wait_in(self)
                self.assertEqual(read_until(master, b"\r\n"), b"Press any key to restore normal timer frequency.\r\n")
                os.write(master, b"abc")
                self.assertEqual(read_until(master, b"abc"), b"abc")  # echoed: the terminal has the keys
                time.sleep(0.3)
                self.assertIsNone(run.proc.poll(), "keys alone ended the wait")

                os.write(master, key)
                self.assertEqual(run.proc.wait(TIMEOUT), status)
                self.assertEqual(run.calls(), calls)
                self.assertEqual(read_until(master), echo, "the key's echo and nothing after it")
                self.assertEqual(run.err(), "")

    def test_console(self):
        """In a Windows console (Wine's, in tmux): the prompt at once, a line
        ends the wait, keys alone do not. Wine draws its console with escape
        sequences, so the screen is read as tmux shows it. Wine does not pass
        Ctrl+C from a Unix terminal on to the program, so that is not tried."""
        run = Files(self)
        tmux = ["tmux", "-S", os.path.join(run.dir.name, "tmux"), "-f", "/dev/null"]
        program = shlex.join(COMMAND) + ' 2>"$DIR/err"; echo $? > "$DIR/status"; exec sleep 600'  # keeps the screen
        subprocess.run([*tmux, "new-session", "-d", "-x", "80", "-y", "24",
                        shlex.join(["env", "WINEDEBUG=+relay", f"DIR={run.dir.name}", "sh", "-c", program])],
                       check=True)
        self.addCleanup(subprocess.run, [*tmux, "kill-server"], stderr=subprocess.DEVNULL)

        def screen():
            shown = subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True).stdout
            return shown.rstrip("\n").splitlines()

        until(self, "waited for input", lambda: run.events()[-1:] == ["reading"])
        self.assertEqual(run.events(), [KEEP, BEGIN, f"write({len(PROMPT)})", "reading"])
        until(self, "showed the prompt", lambda: screen() == [PROMPT.decode().rstrip()])

        subprocess.run([*tmux, "send-keys", "-l", "abc"], check=True)
        until(self, "echoed the keys", lambda: screen()[1:] == ["abc"])
        time.sleep(0.5)
        self.assertIsNone(run.file("status"), "keys without Enter ended the wait")

        subprocess.run([*tmux, "send-keys", "Enter"], check=True)
        until(self, "ended", lambda: run.file("status"))
        self.assertEqual(run.file("status"), b"0\n")
        self.assertEqual(run.events(), [KEEP, BEGIN, f"write({len(PROMPT)})", "reading", "read", END])
        self.assertEqual(screen()[:2], [PROMPT.decode().rstrip(), "abc"])

    def test_order(self):
        """Wine's relay trace of the program's own thread: the request kept while hidden, the
        calls, the prompt's one write and the read of standard input, in order."""
        write = f"write({len(PROMPT)})"
        rows = [  # the C runtime writes to a character device at once, into a pipe at exit
            ("output to a character device", 'exec "$@" < /dev/null > /dev/null', [KEEP, BEGIN, write, "reading", "read", END]),
            ("output into a pipe", 'exec "$@" < /dev/null', [KEEP, BEGIN, "reading", "read", END, write]),
        ]
        for name, shell, expected in rows:
            with self.subTest(name):
                run = self.start(shell)
                self.assertEqual(run.proc.wait(TIMEOUT), 0)
                self.assertEqual(run.events(), expected)

    def test_input(self):
        for name, shell in INPUTS:
            with self.subTest(name):
                self.assertRan(self.start(shell))

    def test_refused(self):
        """The program does not look at the timer calls' answers."""
        for answer in ["97", "1", "4294967295"]:
            with self.subTest(answer):
                self.assertRan(self.start('exec "$@" < /dev/null', env={"RECORDER_ANSWER": answer}))

    def test_arguments(self):
        """No argument of any number or content changes anything, up to the
        longest command line Windows takes (32,767 characters)."""
        rows = [
            ("options", ["-h", "--help", "/?", "-v"]),
            ("conversions", ["%s%n%x%p", "%999999999s"]),
            ("empty", ["", ""]),
            ("a long one", ["x" * 32000]),
            ("five thousand", [str(i) for i in range(5000)]),
            ("not text", ["\xff\x01\t\n"]),
        ]
        for name, args in rows:
            with self.subTest(name):
                self.assertRan(self.start('exec "$@" < /dev/null', args))

    def test_output(self):
        """Into a pipe or a file the prompt is held back until the program ends."""
        rows = [  # name, redirection, what reaches the pipe, what reaches the file
            ("a pipe", 'exec "$@"', PROMPT, None),
            ("a file", 'exec "$@" > "$DIR/out"', b"", PROMPT),
            ("closed", 'exec "$@" >&-', b"", None),
        ]
        for name, shell, piped, filed in rows:
            with self.subTest(name):
                run = self.start(shell, stdin=subprocess.PIPE)
                run.wait_in(self)
                self.assertEqual(run.output(), b"", "wrote before the wait ended")
                self.assertIn(run.file("out"), (None, b""), "wrote before the wait ended")
                self.assertEqual(run.calls(), [BEGIN])
                run.proc.stdin.close()
                self.assertRan(run, piped)
                self.assertEqual(run.file("out"), filed)

    def test_instances(self):
        """Several at once: each keeps its own request until its own input ends."""
        runs = [self.start('exec "$@"', stdin=subprocess.PIPE) for _ in range(4)]
        for run in runs:
            run.wait_in(self)
            self.assertEqual(run.calls(), [BEGIN])
        while runs:
            run = runs.pop()
            run.proc.stdin.close()
            self.assertRan(run)
            for other in runs:
                self.assertIsNone(other.proc.poll())
                self.assertEqual(other.calls(), [BEGIN])

    def test_shipped(self):
        """The build users run, with its own stand-in for the timer calls."""
        for name, shell in INPUTS:
            with self.subTest(name):
                self.assertRan(self.start(shell), calls=())

    def test_pe(self):
        """The exe a Windows user downloads: of its kind, console, standalone, hardened, small.
        (Hardened as far as BinSkim's rules for an image without a PDB go.)
        Wine does not honour the load configuration's DependentLoadFlags (a
        winmm.dll beside the exe is loaded with it or without it), so only the
        field itself can be checked here."""
        exe = COMMAND[-1]
        dump = subprocess.run(["llvm-readobj", "--file-headers", "--sections", "--coff-imports", "--coff-load-config",
                               "--coff-debug-directory", exe],
                              capture_output=True, text=True, check=True).stdout
        kinds = {
            "windows-x86": [
                ("PE32", r"\n  Magic: 0x10B\n"),
                ("for i386", r"\n  Machine: IMAGE_FILE_MACHINE_I386 "),
                ("Windows XP and later", r"\n  MajorSubsystemVersion: 5\n  MinorSubsystemVersion: 1\n"),
                ("a load configuration of the size XP takes", r"\n  Size: 0x40\n"),
                ("no SEH handlers", r"\n    IMAGE_DLL_CHARACTERISTICS_NO_SEH "),
            ],
            "windows-x64": [
                ("PE32+", r"\n  Magic: 0x20B\n"),
                ("for AMD64", r"\n  Machine: IMAGE_FILE_MACHINE_AMD64 "),
                ("Windows XP x64 and later", r"\n  MajorSubsystemVersion: 5\n  MinorSubsystemVersion: 2\n"),
                ("a load configuration of the whole structure", r"\n  Size: 0x70\n"),
                ("high-entropy ASLR", r"\n    IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA "),
                ("based above 4 GB", r"\n  ImageBase: 0x[1-9A-F][0-9A-F]{8}\n"),
                ("CET shadow-stack compatible", r"\n      IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT "),
            ],
        }
        rows = kinds[os.environ["PRESET"]] + [
            ("console subsystem", r"\n  Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI "),
            ("no link time", r"\n  TimeDateStamp: 1970-01-01 00:00:00 \(0x0\)\n"),
            ("ASLR", r"\n    IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE "),
            ("with its relocations", r"\n    BaseRelocationTableSize: 0x[1-9A-F]"),
            ("DEP", r"\n    IMAGE_DLL_CHARACTERISTICS_NX_COMPAT "),
            ("imports from System32 only", r"\n  DependentLoadFlags: 0x800\n"),
        ]
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
        self.assertLessEqual(os.path.getsize(exe), 16 * 1024)
        resources = subprocess.run([os.environ["WINDRES"], "-i", exe, "-O", "rc"],
                                   capture_output=True, text=True, check=True).stdout
        version = os.environ["VERSION"]
        for name, value in [("ProductName", "timerhold"), ("ProductVersion", version),
                            ("FileVersion", version), ("FileDescription", os.environ["DESCRIPTION"])]:
            with self.subTest(name):
                self.assertIn(f'VALUE "{name}", "{value}"\n', resources)
        self.assertIn(f" FILEVERSION {version.replace('.', ', ')}, 0\n", resources)

    def test_reproducible(self):
        """The same source built and packed in another folder, later, gives
        the same exe and the same zip."""
        with tempfile.TemporaryDirectory() as other:
            ours, _ = pack(os.path.dirname(COMMAND[-1]), other, *UNSIGNED)
            theirs = rebuild(other)
            for name, a, b in [("exe", COMMAND[-1], os.path.join(theirs, "timerhold.exe")),
                               ("zip", ours, pack(theirs, theirs)[0])]:
                with self.subTest(name), open(a, "rb") as a, open(b, "rb") as b:
                    self.assertTrue(a.read() == b.read(), f"the two {name}s differ")

    def test_package(self):
        """The release archive holds the exe as built and the README's user part and the licence as
        Windows text files; the checksum file beside it verifies it; no signature is beside it."""
        into = tempfile.TemporaryDirectory()
        self.addCleanup(into.cleanup)
        zip, _ = pack(os.path.dirname(COMMAND[-1]), into.name, *UNSIGNED)
        folder = os.path.basename(zip).removesuffix(".zip")
        with zipfile.ZipFile(zip) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             [f"{folder}/{name}" for name in ("LICENSE.txt", "README.txt", "timerhold.exe")])
            with open(COMMAND[-1], "rb") as exe:
                self.assertTrue(archive.read(f"{folder}/timerhold.exe") == exe.read())
            readme, licence = (archive.read(f"{folder}/{name}") for name in ("README.txt", "LICENSE.txt"))
        for text in readme, licence:
            self.assertTrue(text.isascii())
            self.assertIsNone(re.search(rb"(?<!\r)\n|\r(?!\n)", text), "a line not ended by CRLF")
        self.assertIn(b"\r\nLicence\r\n", readme)  # the user's part to its last heading, its mark gone
        self.assertNotIn(b"cmake", readme)  # and none of the builder's
        self.assertLessEqual(len(readme.split()), 1100, "README.txt is read in full or not at all")
        check = subprocess.run(["sha256sum", "-c", "--strict", zip + ".sha256"], cwd=os.path.dirname(zip),
                               capture_output=True, text=True)
        self.assertEqual((check.returncode, check.stdout), (0, f"{folder}.zip: OK\n"))
        self.assertFalse(os.path.exists(zip.removesuffix(".zip") + ".exe.p7s"))

    def test_signing(self):
        """cpack packs a signed exe only if it is this build signed as Windows trusts it, under the
        roots named, and its signature gives it back from the unsigned build; else it says first
        why, and leaves no zip that holds an exe."""
        with tempfile.TemporaryDirectory() as tmp:
            build = rebuild(tmp)
            exe, other = os.path.join(build, "timerhold.exe"), pathlib.Path(tmp, "other.exe")
            other.write_bytes(pathlib.Path(exe).read_bytes().replace(b"Press any key", b"Press any kez"))
            root, stranger = certificate(f"{tmp}/root"), certificate(f"{tmp}/stranger")
            leaf, outsider = certificate(f"{tmp}/leaf", root), certificate(f"{tmp}/outsider", stranger)
            ecdsa = certificate(f"{tmp}/ecdsa", root, key=("ec", "-pkeyopt", "ec_paramgen_curve:P-256"))
            tsa = certificate(f"{tmp}/tsa", stranger, usage="critical,timeStamping")
            signed, stamped = sign(exe, leaf), sign(exe, leaf, "-ts", timestamp_server(self, tsa))
            corrupted = bytearray(pathlib.Path(signed).read_bytes())
            corrupted[-40] ^= 1  # a bit of the signature's value
            pathlib.Path(tmp, "corrupted.exe").write_bytes(corrupted)

            rebuild(tmp, f"-DSIGNED_EXE={signed}", f"-DSIGN_ROOT={root}.pem")
            zip, said = pack(build, build)
            self.assertEqual(said, f"{signed} has a signature without a timestamp: it lapses when its certificate expires\n")
            release, check = zip.removesuffix(".zip"), f"{tmp}/check.exe"
            # (attach-signature also judges the chain against the system's roots: its status is not the check)
            subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", f"{release}.exe.p7s", "-out", f"{tmp}/p7s.pem"])
            subprocess.run(["osslsigncode", "attach-signature", "-sigin", f"{tmp}/p7s.pem", "-in", exe, "-out", check],
                           capture_output=True)
            with zipfile.ZipFile(zip) as archive:
                packed = archive.read(f"{os.path.basename(release)}/timerhold.exe")
            self.assertTrue(packed == pathlib.Path(signed).read_bytes() == pathlib.Path(check).read_bytes())
            try:  # as the unsigned exe runs, where this host runs an exe of its kind
                ran = subprocess.run([os.environ["EMULATOR"], signed], stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=120)
                self.assertEqual((ran.returncode, ran.stdout), (0, PROMPT), "the signed exe under Wine")
            except OSError as error:
                self.assertEqual(error.errno, errno.ENOEXEC)  # the kernel runs no programs of its kind

            rebuild(tmp, f"-DSIGNED_EXE={stamped}", f"-DSIGN_TSA_ROOT={stranger}.pem")
            zip, said = pack(build, build)
            with zipfile.ZipFile(zip) as archive:
                packed = archive.read(f"{os.path.basename(release)}/timerhold.exe")
            self.assertEqual((packed == pathlib.Path(stamped).read_bytes(), said), (True, ""), "a trusted timestamp")

            unverified = f"has a signature that does not verify up to {root}.pem"
            weak = "is signed with SHA1, where SHA-256 or stronger is needed"
            rows = [  # what is handed in, what cpack says of it
                ("another program", sign(other, leaf), "is not this build's timerhold.exe with a signature added"),
                ("a signer outside the root", sign(exe, outsider), unverified),
                ("a corrupted signature", f"{tmp}/corrupted.exe", unverified),
                ("no signature", exe, "has no signature"),
                ("SHA-1", sign(exe, leaf, "-h", "sha1"), weak),
                ("SHA-1 nested under SHA-256", sign(signed, leaf, "-nest", "-h", "sha1"), weak),
                ("an ECDSA signer", sign(exe, ecdsa), "has a signer whose key is not RSA (ecdsa-with-SHA256)"),
                ("a timestamp outside the roots", stamped, f"has a timestamp that does not verify up to {root}.pem"),
            ]
            for name, handed, said in rows:
                with self.subTest(name):
                    rebuild(tmp, f"-DSIGNED_EXE={handed}", "-DSIGN_TSA_ROOT=")
                    with self.assertRaises(subprocess.CalledProcessError) as refused:
                        pack(build, build)
                    self.assertEqual(refused.exception.stderr.splitlines()[0], f"{handed} {said}: nothing is packed")
                    self.assertEqual(glob.glob(os.path.join(build, "timerhold-*")), [], "something was packed")
                    for staged in glob.glob(os.path.join(build, "_CPack_Packages", "**"), recursive=True):
                        self.assertFalse(staged.endswith((".exe", ".p7s")), staged)
                        if staged.endswith(".zip"):
                            self.assertEqual(zipfile.ZipFile(staged).namelist(), [], "a zip was staged")

            with self.assertRaises(subprocess.CalledProcessError) as refused:
                rebuild(tmp, f"-DSIGN_ROOT={leaf}.key")
            self.assertIn(f"SIGN_ROOT is not a readable PEM certificate: {leaf}.key\n", refused.exception.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", f"Cases.test_{sys.argv[1]}"])
