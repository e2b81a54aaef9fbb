#!/usr/bin/env python3
"""timerhold run as a user or a script runs it: natively, the build whose timer calls write themselves
to descriptor 3 (Native) and the one users run (Shipped); under Wine, the exe, whose calls Wine traces (Windows)."""

import fcntl, os, pty, select, signal, termios
import pathlib, platform, re, shlex, subprocess, tempfile, time, unittest

from common import Case

BEGIN, END = "timeBeginPeriod(1)", "timeEndPeriod(1)"
KEEP = "SetProcessInformation(4, 12)"  # ProcessPowerThrottling, with its 12-byte state
# As the native test build records it: for this process, version 1, the policy ours to set (ControlMask
# IGNORE_TIMER_RESOLUTION) and off (StateMask 0), so that Windows never ignores the request.
KEEP_STATE = "SetProcessInformation(self, 4, {1, 4, 0}, 12)"

# The numbers of read(2) and write(2), as /proc/PID/syscall shows them.
SYSCALLS = {"x86_64": {"read": 0, "write": 1}, "i686": {"read": 3, "write": 4},
            "aarch64": {"read": 63, "write": 64}}

# What a relay trace line says the program did: a winmm call with its argument, the power throttling
# setting (its class and size), a write with its length, a read of standard input begun or returned.
TRACE = re.compile(r"([0-9a-f]{4}):(?:Call winmm\.(\w+)\((\w+)\)"
                   r"|Call KERNEL32\.SetProcessInformation\(\w+,(\w+),\w+,(\w+)\)"
                   r"|Call KERNEL32\.Write(?:File|Console[AW])\(\w+,\w+,(\w+)"
                   r"|(Call|Ret ) KERNEL32\.Read(?:File|Console[AW])\()")


def event(m):
    if m[2]:
        return f"{m[2]}({int(m[3], 16)})"
    if m[4]:
        return f"SetProcessInformation({int(m[4], 16)}, {int(m[5], 16)})"
    return f"write({int(m[6], 16)})" if m[6] else "reading" if m[7] == "Call" else "read"


def events(trace):
    """The program's own thread (the first to do any of these) in a relay trace, as a list of events."""
    matches = [m for m in map(TRACE.match, trace.splitlines()) if m]
    return [event(m) for m in matches if m[1] == matches[0][1]]


def readable(fd, timeout=0):
    return bool(select.select([fd], [], [], timeout)[0])


class Run:
    """One instance of the program, started through sh, whose redirections set up its streams, with
    a folder for its standard error ("err"), descriptor 3 ("record") and other files. Without
    `shell`, the folder alone, for an instance that a case starts itself."""

    def __init__(self, case, shell=None, args=(), env=None, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                 terminal=False):
        self.case, self.dir = case, tempfile.TemporaryDirectory()
        case.addCleanup(self.dir.cleanup)
        if shell is None:
            return
        env = dict(os.environ, DIR=self.dir.name, WINEDEBUG="+relay", **(env or {}))
        self.proc = subprocess.Popen(
            ["sh", "-c", shell + ' 2>"$DIR/err" 3>"$DIR/record"', "sh", *case.command, *args],
            env=env, stdin=stdin, stdout=stdout, start_new_session=True,
            preexec_fn=(lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)) if terminal else None)
        case.addCleanup(self.stop)

    def file(self, name):
        path = pathlib.Path(self.dir.name, name)
        return path.read_bytes() if path.exists() else None

    def events(self):
        """What the program has done so far, in order: under Wine, as its relay trace shows it; natively,
        as the test build records its Windows calls."""
        if self.case.windows:
            return events((self.file("err") or b"").decode(errors="replace"))
        return (self.file("record") or b"").decode().splitlines()

    def calls(self):
        """The timer calls so far, in order."""
        return [event for event in self.events() if event.startswith("time")]

    def err(self):
        """Standard error, without Wine's trace lines."""
        return "".join(line for line in self.file("err").decode(errors="replace").splitlines(True)
                       if not re.match(r"[0-9a-f]{4}:", line))

    def output(self):
        """What has reached standard output so far, when it is a pipe."""
        if self.proc.poll() is not None:
            return self.proc.stdout.read()
        return os.read(self.proc.stdout.fileno(), 4096) if readable(self.proc.stdout) else b""

    def wait_in(self, call="read", fd=0):
        """Returns once the program sleeps in `call` on `fd`: by default, once it waits for input."""
        numbers = SYSCALLS.get(platform.machine())
        if not (numbers or self.case.windows):
            self.case.skipTest(f"the numbers of read(2) and write(2) on {platform.machine()} are not known here")

        def sleeping():
            self.case.assertIsNone(self.proc.poll(), f"ended without sleeping in {call}({fd})")
            if self.case.windows:
                return call == "read" and self.events()[-1:] == ["reading"]
            with open(f"/proc/{self.proc.pid}/syscall") as f:
                return f.read().split()[:2] == [str(numbers[call]), hex(fd)]
        self.case.until(f"slept in {call}({fd})", sleeping)

    def ran(self, out=None, calls=(BEGIN, END)):
        """The whole sequence, once: begin, the prompt, end, exit 0, nothing else."""
        self.case.assertEqual(self.proc.wait(self.case.timeout), 0)
        self.case.assertEqual(self.output(), self.case.prompt if out is None else out)
        self.case.assertEqual(self.err(), "")
        self.case.assertEqual(self.calls(), list(calls))

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        for pipe in filter(None, (self.proc.stdin, self.proc.stdout)):
            pipe.close()


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


class Behaviour:
    """What every build does whose timer calls can be seen."""

    def test_input(self):
        for name, shell in INPUTS:
            with self.subTest(name):
                Run(self, shell).ran()

    def test_arguments(self):
        """No argument changes anything, up to the longest command line Windows takes (32,767 characters)."""
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
                Run(self, 'exec "$@" < /dev/null', args).ran()

    def test_output(self):
        """Into a pipe or a file the prompt is held back until the program ends."""
        rows = [  # name, redirection, what reaches the pipe, what reaches the file
            ("a pipe", 'exec "$@"', self.prompt, None),
            ("a file", 'exec "$@" > "$DIR/out"', b"", self.prompt),
            ("closed", 'exec "$@" >&-', b"", None),
        ]
        for name, shell, piped, filed in rows:
            with self.subTest(name):
                run = Run(self, shell, stdin=subprocess.PIPE)
                run.wait_in()
                self.assertEqual(run.output(), b"", "wrote before the wait ended")
                self.assertIn(run.file("out"), (None, b""), "wrote before the wait ended")
                self.assertEqual(run.calls(), [BEGIN])
                run.proc.stdin.close()
                run.ran(piped)
                self.assertEqual(run.file("out"), filed)

    def test_instances(self):
        """Several at once: each keeps its own request until its own input ends."""
        runs = [Run(self, 'exec "$@"', stdin=subprocess.PIPE) for _ in range(4)]
        for run in runs:
            run.wait_in()
            self.assertEqual(run.calls(), [BEGIN])
        while runs:
            run = runs.pop()
            run.proc.stdin.close()
            run.ran()
            for other in runs:
                self.assertIsNone(other.proc.poll())
                self.assertEqual(other.calls(), [BEGIN])


class Native(Behaviour, Case):
    """The native build whose timer calls record themselves."""

    def read_until(self, fd, wanted=None):
        """Reads a pseudo-terminal's master side until `wanted` is shown, or else until it is closed."""
        seen, deadline = b"", time.monotonic() + self.timeout
        while (wanted is None or wanted not in seen) and readable(fd, deadline - time.monotonic()):
            try:
                seen += os.read(fd, 4096)
            except OSError:  # EIO: no process has the terminal open any more
                break
        return seen

    def test_terminal(self):
        """On a terminal: the prompt at once; a line or end of input ends the wait, keys alone
        do not; Ctrl+C, left to the default handling, ends the program where it stands."""
        rows = [  # the keys typed first, the key that ends the wait, its echo, the exit status, the calls made
            ("Enter", b"abc", b"\r", b"\r\n", 0, [BEGIN, END]),
            ("Enter alone", b"", b"\r", b"\r\n", 0, [BEGIN, END]),
            ("Ctrl+D", b"abc", b"\x04", b"", 0, [BEGIN, END]),
            ("Ctrl+C", b"abc", b"\x03", b"^C", -signal.SIGINT, [BEGIN]),
        ]
        for name, typed, key, echo, status, calls in rows:
            with self.subTest(name):
                master, slave = pty.openpty()
                self.addCleanup(os.close, master)
                termios.tcflow(slave, termios.TCOOFF)  # as Ctrl+S does: writing the prompt blocks
                run = Run(self, 'exec "$@"', stdin=slave, stdout=slave, terminal=True)
                run.wait_in("write", 1)
                self.assertEqual(run.events(), [KEEP_STATE, BEGIN],
                                 "the request kept while hidden, and the period raised, before the prompt is written")
                termios.tcflow(slave, termios.TCOON)
                os.close(slave)

                run.wait_in()
                self.assertEqual(self.read_until(master, b"\r\n"), self.prompt[:-1] + b"\r\n")
                os.write(master, typed)
                self.assertEqual(self.read_until(master, typed), typed)  # echoed: the terminal has the keys
                time.sleep(0.3)
                self.assertIsNone(run.proc.poll(), "keys alone ended the wait")

                os.write(master, key)
                self.assertEqual(run.proc.wait(self.timeout), status)
                self.assertEqual(run.calls(), calls)
                self.assertEqual(self.read_until(master), echo, "the key's echo and nothing after it")
                self.assertEqual(run.err(), "")

    def test_refused(self):
        """The program does not look at the timer calls' answers."""
        for answer in ["97", "1", "4294967295"]:
            with self.subTest(answer):
                Run(self, 'exec "$@" < /dev/null', env={"RECORDER_ANSWER": answer}).ran()


class Shipped(Case):
    """The native build users run, with its own stand-in for the timer calls."""

    def test_shipped(self):
        for name, shell in INPUTS:
            with self.subTest(name):
                Run(self, shell).ran(calls=())


class Windows(Behaviour, Case):
    """The exe under Wine, in a prefix that CTest keeps up for the run."""
    windows = True

    def test_console(self):
        """In Wine's console, in tmux, whose screen shows what Wine draws: the prompt at once, a line
        ends the wait, an empty one too, keys alone do not. (Wine passes no Ctrl+C from a Unix terminal on.)"""
        for typed in "abc", "":
            with self.subTest(typed=typed):
                run, shown = Run(self), self.prompt.decode().rstrip()
                tmux = ["tmux", "-S", os.path.join(run.dir.name, "tmux"), "-f", "/dev/null"]
                # (sleep keeps the screen)
                program = shlex.join(self.command) + ' 2>"$DIR/err"; echo $? > "$DIR/status"; exec sleep 600'
                subprocess.run([*tmux, "new-session", "-d", "-x", "80", "-y", "24",
                                shlex.join(["env", "WINEDEBUG=+relay", f"DIR={run.dir.name}", "sh", "-c", program])],
                               check=True)
                self.addCleanup(subprocess.run, [*tmux, "kill-server"], stderr=subprocess.DEVNULL)

                def screen():
                    pane = subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True).stdout
                    return pane.rstrip("\n").splitlines()

                write = f"write({len(self.prompt)})"
                self.until("waited for input", lambda: run.events()[-1:] == ["reading"])
                self.assertEqual(run.events(), [KEEP, BEGIN, write, "reading"])
                self.until("showed the prompt", lambda: screen() == [shown])

                subprocess.run([*tmux, "send-keys", "-l", typed], check=True)
                lines = [shown, typed] if typed else [shown]
                self.until("echoed the keys", lambda: screen() == lines)
                time.sleep(0.5)
                self.assertIsNone(run.file("status"), "keys without Enter ended the wait")

                subprocess.run([*tmux, "send-keys", "Enter"], check=True)
                self.until("ended", lambda: run.file("status"))
                self.assertEqual(run.file("status"), b"0\n")
                self.assertEqual(run.events(), [KEEP, BEGIN, write, "reading", "read", END])
                self.assertEqual(screen()[:2], lines)

    def test_order(self):
        """The request kept while hidden, the calls, the prompt's one write and the read, in order; and, where
        kernel32 has no SetProcessInformation (before Windows 8), all of them but the first."""
        write = f"write({len(self.prompt)})"
        lacking = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "timerhold.exe")
        exe = pathlib.Path(self.exe).read_bytes()
        self.assertEqual(exe.count(b"SetProcessInformation"), 1)  # (the name it looks up, changed in a copy)
        pathlib.Path(lacking).write_bytes(exe.replace(b"SetProcessInformation", b"SetProcessInformatioN"))
        rows = [  # the C runtime writes to a character device at once, into a pipe at exit
            ("output to a character device", 'exec "$@" < /dev/null > /dev/null',
             [KEEP, BEGIN, write, "reading", "read", END]),
            ("output into a pipe", 'exec "$@" < /dev/null', [KEEP, BEGIN, "reading", "read", END, write]),
            ("SetProcessInformation not found", 'exec "$1" "$LACKING" < /dev/null > /dev/null',
             [BEGIN, write, "reading", "read", END]),
        ]
        for name, shell, expected in rows:
            with self.subTest(name):
                run = Run(self, shell, env={"LACKING": lacking})
                self.assertEqual(run.proc.wait(self.timeout), 0)
                self.assertEqual(run.events(), expected)


if __name__ == "__main__":
    unittest.main()
