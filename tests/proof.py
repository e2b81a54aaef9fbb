#!/usr/bin/env python3
# The proof on Windows: a release zip met as the README has a Windows user meet it, its lines run as written.
#     python proof.py ZIP FIXTURES
# FIXTURES holds the tests' timerhold-control.exe (timerhold without its load configuration) and
# planted/winmm.dll (which leaves a file "loaded" beside itself). It writes what it measured to figures.json
# and the job's summary, and exits 1 wherever Windows does what the README says it does not. The suite runs
# what Wine can run of it: the zip's files, the prompt, the planted DLL's control.
import ctypes, json, os, platform, shutil, subprocess, sys, tempfile, time, zipfile

PROMPT = b"Press any key to restore normal timer frequency.\r\n"
REGISTRY = r'reg query "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\kernel" /v GlobalTimerResolutionRequests'
SLEEPS = "$t = Measure-Command { 1..100 | % { [Threading.Thread]::Sleep(1) } }; $t.TotalMilliseconds / 100"
ENERGY = r'powercfg /energy /duration 5 /output "%PUBLIC%\energy-report.html"'
failures, figures = [], {}


def expect(condition, failure):
    if not condition:
        failures.append(failure)


def line(command, powershell=False, folder=None):
    """What a README line prints, run as written in a Command Prompt or PowerShell."""
    shell = ["powershell", "-NoProfile", "-Command"] if powershell else ["cmd", "/c"]
    return subprocess.run([*shell, command], capture_output=True, text=True, cwd=folder).stdout.strip()


def hashes(zip):
    """The zip's SHA-256 as certutil and Get-FileHash print it, in the zip's folder, beside its .sha256."""
    folder, name = os.path.split(zip)
    with open(zip + ".sha256") as sums:
        published = sums.read().split()[0]
    certutil = line(f"certutil -hashfile {name} SHA256", folder=folder).splitlines()[1].replace(" ", "")
    get_filehash = [word for word in line(f"Get-FileHash {name}", True, folder).split() if len(word) == 64]
    expect([certutil, *get_filehash] == [published, published.upper()], f"certutil {certutil}, Get-FileHash {get_filehash}, "
                                                                       f".sha256 {published}")


def extract(zip, folder):
    with zipfile.ZipFile(zip) as archive:
        expect(sorted(archive.namelist()) == ["LICENSE.txt", "README.txt", "timerhold.exe"], f"the zip holds {archive.namelist()}")
        archive.extractall(folder)
    return os.path.join(folder, "timerhold.exe")


def prompts(exe, runner=()):
    for input, data in ("NUL", None), ("an empty pipe", b""), ("a pipe holding a line", b"\r\n"):
        done = subprocess.run([*runner, exe], input=data, stdin=subprocess.DEVNULL if data is None else None,
                              capture_output=True, timeout=60)
        expect((done.returncode, done.stdout) == (0, PROMPT), f"input {input}: status {done.returncode}, {done.stdout!r}")


def resolution():
    """The timer's current resolution, in 100 ns units."""
    coarsest, finest, current = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_ulong()
    ctypes.windll.ntdll.NtQueryTimerResolution(ctypes.byref(coarsest), ctypes.byref(finest), ctypes.byref(current))
    return current.value


def throttling(process):
    """The power throttling state Windows keeps for the process (version, ControlMask, StateMask), if it says."""
    state, handle = (ctypes.c_ulong * 3)(), ctypes.windll.kernel32.OpenProcess(0x1000, False, process.pid)
    return list(state) if ctypes.windll.kernel32.GetProcessInformation(ctypes.c_void_p(handle), 4, state, 12) else None


def energy_report():
    """The Requested Period of timerhold.exe's Outstanding Timer Request in powercfg's report, as text."""
    line(ENERGY)
    with open(os.path.join(os.environ["PUBLIC"], "energy-report.html"), "rb") as report:
        html = report.read()
    html = html.decode("utf-16" if html[:2] == b"\xff\xfe" else "utf-8", errors="replace")
    text = " ".join(part.split(">", 1)[-1] for part in html.split("<"))  # (the tags left out)
    requests = [request for request in text.split("Outstanding Timer Request")[1:] if "timerhold.exe" in request]
    return requests[0].split("Requested Period")[1].split()[0] if requests else None


def planted(exe, fixtures, work, runner=(), environment=None):
    """Whether a winmm.dll beside the exe, and beside the control, is loaded: each copied with it into work."""
    loaded = []
    for name, program in ("exe", exe), ("control", os.path.join(fixtures, "timerhold-control.exe")):
        folder = os.path.join(work, name)
        os.makedirs(folder)
        shutil.copy(os.path.join(fixtures, "planted", "winmm.dll"), folder)
        subprocess.run([*runner, shutil.copy(program, folder)], stdin=subprocess.DEVNULL, capture_output=True,
                       env=environment, timeout=60)
        loaded.append(os.path.exists(os.path.join(folder, "loaded")))
    return loaded


def hold(exe):
    """The figures while timerhold waits and after it ends."""
    figures["resolution before"] = before = resolution()
    figures["sleep before"] = line(SLEEPS, powershell=True)
    waiting = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    time.sleep(2)
    figures["resolution while waiting"] = during = resolution()
    if before <= 10000:
        figures["note"] = "the timer was at 1 ms or finer before timerhold started: its request cannot be told apart"
    expect(before <= 10000 or during <= 10000, f"the resolution while timerhold waits is {during}, coarser than 1 ms")
    figures["throttling state"] = state = throttling(waiting)
    expect(state in (None, [1, 4, 0]), f"the throttling state is {state}, not [1, 4, 0]")
    figures["sleep while waiting"] = line(SLEEPS, powershell=True)
    figures["requested period"] = period = energy_report()
    expect(period == "10000", f"powercfg's report gives timerhold.exe the requested period {period}")
    waiting.communicate(b"\r\n")
    time.sleep(2)
    figures["resolution after"] = after = resolution()
    expect(after == before, f"the resolution after timerhold ended is {after}, not {before} as before")


def main():
    zip, fixtures = (os.path.abspath(path) for path in sys.argv[1:])
    figures["Windows"] = f"{platform.platform()} {platform.machine()}, {os.path.basename(zip)}"
    registry = line(REGISTRY)
    figures["GlobalTimerResolutionRequests"] = registry.split()[-1] if "REG_DWORD" in registry else "absent"
    hashes(zip)
    work = tempfile.mkdtemp()
    exe = extract(zip, work)
    prompts(exe)
    hold(exe)
    figures["planted winmm.dll loaded (timerhold, control)"] = loaded = planted(exe, fixtures, work)
    expect(loaded == [False, True], f"a planted winmm.dll loaded: {loaded} (timerhold, its control)")
    figures["failures"] = failures
    with open("figures.json", "w") as file:
        json.dump(figures, file, indent=2)
    with open(os.environ.get("GITHUB_STEP_SUMMARY", os.devnull), "a") as summary:
        summary.write("| | |\n|---|---|\n" + "".join(f"| {name} | {value} |\n" for name, value in figures.items()))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
