#!/usr/bin/env python3
"""Runs timerhold the way a user or a script does and checks what it does.

    harness.py GROUP PROGRAM

PROGRAM is the native build linked with the recording timer calls, which
write each call as a line to descriptor 3, or (group "shipped") the build
that users run, whose calls cannot be seen.
"""

import os
import platform
import pty
import select
import subprocess
import sys
import tempfile
import termios
import time
import unittest

PROMPT = b"Press any key to restore normal timer frequency.\n"
BEGIN = "timeBeginPeriod(1)\n"
CALLS = BEGIN + "timeEndPeriod(1)\n"
TIMEOUT = 10

# The numbers of read(2) and write(2), as /proc/PID/syscall shows them.
SYSCALL = {"x86_64": {"read": 0, "write": 1}, "i686": {"read": 3, "write": 4},
           "aarch64": {"read": 63, "write": 64}}[platform.machine()]


class Run:
    """One instance of the program, started through sh so that a case sets
    up standard input and output with the shell's own redirections.
    Standard error goes to a file, and descriptor 3 to the record file."""

    def __init__(self, shell, args=(), env=None, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
        self.dir = tempfile.TemporaryDirectory()
        self.proc = subprocess.Popen(
            ["sh", "-c", shell + ' 2>"$DIR/err" 3>"$DIR/record"', "sh", PROGRAM, *args],
            env=dict(os.environ, DIR=self.dir.name, **(env or {})),
            stdin=stdin, stdout=stdout, start_new_session=True)

    def file(self, name, mode="rb"):
        try:
            with open(os.path.join(self.dir.name, name), mode) as f:
                return f.read()
        except FileNotFoundError:
            return None

    def calls(self):
        return self.file("record", "r")

    def output(self):
        """What has reached standard output so far, when it is a pipe."""
        if self.proc.poll() is not None:
            return self.proc.stdout.read()
        return os.read(self.proc.stdout.fileno(), 4096) if readable(self.proc.stdout) else b""

    def wait_in(self, test, call="read", fd=0):
        """Returns once the program sleeps in `call` on `fd`: by default,
        once it waits for input with everything before the wait done."""
        wanted = [str(SYSCALL[call]), hex(fd)]
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            with open(f"/proc/{self.proc.pid}/syscall") as f:
                if f.read().split()[:2] == wanted:
                    return
            test.assertIsNone(self.proc.poll(), f"ended without sleeping in {call}({fd})")
            time.sleep(0.01)
        test.fail(f"never slept in {call}({fd})")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            if pipe:
                pipe.close()
        self.dir.cleanup()


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
        run = Run(shell, args, **kwargs)
        self.addCleanup(run.stop)
        return run

    def assertRan(self, run, out=PROMPT, calls=CALLS):
        """The whole sequence, once: begin, the prompt, end, exit 0, nothing else."""
        self.assertEqual(run.proc.wait(TIMEOUT), 0)
        self.assertEqual(run.output(), out)
        self.assertEqual(run.file("err"), b"")
        self.assertEqual(run.calls(), calls)

    def test_terminal(self):
        """On a terminal: the prompt at once, a line ends the wait, keys alone do not."""
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        termios.tcflow(slave, termios.TCOOFF)  # as Ctrl+S does: writing the prompt blocks
        run = self.start('exec "$@"', stdin=slave, stdout=slave)
        run.wait_in(self, "write", 1)
        self.assertEqual(run.calls(), BEGIN, "the period is raised before the prompt is written")
        termios.tcflow(slave, termios.TCOON)
        os.close(slave)

        run.wait_in(self)
        self.assertEqual(read_until(master, b"\r\n"), b"Press any key to restore normal timer frequency.\r\n")

        os.write(master, b"abc")
        self.assertEqual(read_until(master, b"abc"), b"abc")  # echoed: the terminal has the keys
        time.sleep(0.3)
        self.assertIsNone(run.proc.poll(), "keys without Enter ended the wait")
        self.assertEqual(run.calls(), BEGIN)

        os.write(master, b"\r")
        self.assertEqual(run.proc.wait(TIMEOUT), 0)
        self.assertEqual(run.calls(), CALLS)
        self.assertEqual(read_until(master), b"\r\n", "only the Enter's echo follows the wait")
        self.assertEqual(run.file("err"), b"")

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
        """No argument of any number or content changes anything."""
        rows = [
            ("options", ["-h", "--help", "/?", "-v"]),
            ("conversions", ["%s%n%x%p", "%999999999s"]),
            ("empty", ["", ""]),
            ("a long one", ["x" * 100000]),
            ("ten thousand", [str(i) for i in range(10000)]),
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
                self.assertEqual(run.calls(), BEGIN)
                run.proc.stdin.close()
                self.assertRan(run, piped)
                self.assertEqual(run.file("out"), filed)

    def test_instances(self):
        """Several at once: each keeps its own request until its own input ends."""
        runs = [self.start('exec "$@"', stdin=subprocess.PIPE) for _ in range(4)]
        for run in runs:
            run.wait_in(self)
            self.assertEqual(run.calls(), BEGIN)
        while runs:
            run = runs.pop()
            run.proc.stdin.close()
            self.assertRan(run)
            for other in runs:
                self.assertIsNone(other.proc.poll())
                self.assertEqual(other.calls(), BEGIN)

    def test_shipped(self):
        """The build users run, with its own stand-in for the timer calls."""
        for name, shell in INPUTS:
            with self.subTest(name):
                self.assertRan(self.start(shell), calls="")


if __name__ == "__main__":
    group, PROGRAM = sys.argv[1:3]
    unittest.main(argv=[sys.argv[0], "-v", f"Cases.test_{group}"])
