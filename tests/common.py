"""What the program's tests and the release's share: the build under test,
which CTest names in the environment, and the prompt it shows."""

import os, time, unittest


class Case(unittest.TestCase):
    """A case about one build: TIMERHOLD names the program and, for a Windows
    build, EMULATOR the Wine loader that runs it. A case of a class for the
    other kind of build, or with nothing named, is skipped."""
    windows = False

    @classmethod
    def setUpClass(cls):
        exe = os.environ.get("TIMERHOLD", "")
        if not exe or exe.endswith(".exe") != cls.windows:
            raise unittest.SkipTest(f"TIMERHOLD does not name a {'Windows' if cls.windows else 'native'} build")
        cls.exe = exe
        cls.command = [os.environ["EMULATOR"], exe] if cls.windows else [exe]
        cls.prompt = b"Press any key to restore normal timer frequency." + (b"\r\n" if cls.windows else b"\n")
        cls.timeout = 20 if cls.windows else 10

    def until(self, what, condition):
        deadline = time.monotonic() + self.timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, f"never {what}")
            time.sleep(0.02)
