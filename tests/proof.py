#!/usr/bin/env python3
# The proof on Windows: a release zip met as the README has a Windows user meet it, its lines run as written.
#     python proof.py ZIP FIXTURES
# FIXTURES holds the tests' timerhold-control.exe (timerhold without its load configuration) and
# planted/winmm.dll (which leaves a file "loaded" beside itself). It writes what it measured, and each failure
# in a line, to figures.json and the job's summary whatever fails, and exits 1 wherever Windows does what the
# README says it does not. The suite runs what Wine can run of it: the zip's files, the prompt, the planted
# DLL's control, the hold with Windows' measurements given, the reading of powercfg's report and of Windows'
# verdict on the signature.
import base64, ctypes, html.parser, json, os, platform, re, shutil, subprocess, sys, tempfile, time, zipfile

PROMPT = b"Press any key to restore normal timer frequency.\r\n"
# The README's lines, as it gives them; ZIP stands for the zip's name.
ZIP = "timerhold-VERSION-windows-ARCH.zip"
CERTUTIL = f"certutil -hashfile {ZIP} SHA256"
GET_FILEHASH = f"(Get-FileHash {ZIP}).Hash"
SIGNATURE = r"Get-AuthenticodeSignature .\timerhold.exe | Format-List"
REGISTRY = r'reg query "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\kernel" /v GlobalTimerResolutionRequests'
SLEEPS = "$t = Measure-Command { 1..100 | % { [Threading.Thread]::Sleep(1) } }; $t.TotalMilliseconds / 100"
ENERGY = r'powercfg /energy /duration 5 /output "$env:PUBLIC\energy-report.html"'
failures, figures = [], {}
THROTTLING_ANSWERED = 22621  # the first Windows 11 build known to answer the throttling query; 22000 refuses it (87)
BROKEN_QUERY = 5, 6  # access denied, an invalid handle: the proof's own query at fault, on any build
IGNORE_TIMER_RESOLUTION = 4  # the throttling policy timerhold sets, and turns off
SETTLE = 2  # seconds for timerhold to make its request, or for Windows to drop one
ONE_MS = 10100  # 100 ns units: 1 ms, or a hair coarser as Windows may grant it (a 0.5 ms request has read 5003)


def expect(condition, failure):
    if not condition:
        failures.append(failure)


def line(command, powershell=False, folder=None, timeout=120):
    """What a README line prints, and its exit status (None where it timed out), typed as written into a
    Command Prompt or PowerShell: cmd is handed `cmd /c "LINE"` and strips the outer quotes; PowerShell is
    handed the line encoded, so that no quote of it is escaped on the way."""
    if powershell:
        encoded = base64.b64encode(command.encode("utf-16-le")).decode()
        command, shell = f"powershell -NoProfile -NonInteractive -EncodedCommand {encoded}", False
    else:
        shell = True
    process = subprocess.Popen(command, shell=shell, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace", cwd=folder)
    try:
        return process.communicate(timeout=timeout)[0].strip(), process.returncode
    except subprocess.TimeoutExpired:  # (cmd's or PowerShell's children hold the pipe too: the whole tree goes)
        subprocess.run(f"taskkill /F /T /PID {process.pid}", capture_output=True, timeout=60)
        return f"(timed out after {timeout} s) {process.communicate(timeout=60)[0].strip()}", None


def succeeds(command, powershell=False, folder=None, timeout=120):
    """What a line that must succeed prints; where it fails, a failure that quotes it."""
    said, status = line(command, powershell, folder, timeout)
    expect(status == 0, f"`{command}` exited {status}: {said}")
    return said


def registry():
    said, status = line(REGISTRY)
    figures["GlobalTimerResolutionRequests"] = said.split()[-1] if status == 0 else f"absent ({said})"


def hashes(zip):
    """The zip's SHA-256 as certutil and Get-FileHash print it, in the zip's folder, beside its .sha256."""
    folder, name = os.path.split(zip)
    with open(zip + ".sha256") as sums:
        published = sums.read().split()[0]
    certutil = [word.replace(" ", "") for word in succeeds(CERTUTIL.replace(ZIP, name), folder=folder).splitlines()
                if len(word.replace(" ", "")) == 64]
    get_filehash = [word for word in succeeds(GET_FILEHASH.replace(ZIP, name), True, folder).split() if len(word) == 64]
    expect([*certutil, *get_filehash] == [published, published.upper()], f"certutil {certutil}, Get-FileHash "
                                                                          f"{get_filehash}, .sha256 {published}")


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
    status = ctypes.windll.ntdll.NtQueryTimerResolution(ctypes.byref(coarsest), ctypes.byref(finest), ctypes.byref(current))
    if status:
        raise OSError(f"NtQueryTimerResolution answered {status:#x}")
    return current.value


def throttling(process):
    """The power throttling state Windows keeps for the process, as [Version, ControlMask, StateMask], asked for
    as Microsoft's example asks (Version 1); or, where Windows did not answer, its error."""
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenProcess.restype = ctypes.c_void_p
    handle = ctypes.c_void_p(kernel32.OpenProcess(0x1000, False, process.pid))  # PROCESS_QUERY_LIMITED_INFORMATION
    state = (ctypes.c_ulong * 3)(1, 0, 0)
    answered = kernel32.GetProcessInformation(handle, 4, state, 12)  # ProcessPowerThrottling
    error = ctypes.get_last_error()
    kernel32.CloseHandle(handle)
    return list(state) if answered else error


class Cells(html.parser.HTMLParser):
    """The texts of an HTML page, each cell's (or other element's) on its own."""

    def __init__(self, page):
        super().__init__()
        self.texts = []
        self.feed(page)

    def handle_data(self, data):
        if data.strip():
            self.texts.append(" ".join(data.split()))


def requested_period(page):
    """The Requested Period of timerhold.exe's own Outstanding Timer Request in powercfg's report, as text: that
    of the entry whose Requesting Process Path ends in \timerhold.exe, read up to the next entry or section (the
    Timer Request Stack, which repeats periods and paths, among them). None where it has no such entry."""
    entries, entry, label = [], None, None
    for text in Cells(page).texts:
        if "Outstanding Timer Request" in text:
            entry, label = {}, None
            entries.append(entry)
        elif "Platform Timer Resolution" in text or "Timer Request Stack" in text:
            entry = None
        elif entry is not None and text in ("Requested Period", "Requesting Process Path"):
            label = text
        elif entry is not None and label:
            entry.setdefault(label, text)
            label = None
    for entry in entries:
        if entry.get("Requesting Process Path", "").lower().endswith("\\timerhold.exe"):
            return entry.get("Requested Period")
    return None


def energy_report():
    """The period powercfg's report gives timerhold's request, or None, with a failure that quotes powercfg."""
    path = os.path.join(os.environ["PUBLIC"], "energy-report.html")
    if os.path.exists(path):
        os.remove(path)  # (an earlier run's)
    said, status = line(ENERGY, powershell=True, timeout=180)
    if not os.path.exists(path):
        expect(False, f"powercfg wrote no report (status {status}): {said}")
        return None
    with open(path, "rb") as report:
        page = report.read()
    return requested_period(page.decode("utf-16-le" if b"\0" in page[:64] else "utf-8", errors="replace"))


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


def still_waiting(process, what):
    """A measurement counts only if timerhold still waited once it was taken."""
    expect(process.poll() is None, f"timerhold ended (status {process.returncode}) before {what} was measured")


def hold(exe, runner=()):
    """The figures while timerhold waits (each taken only while it still does), after it ends, and after one
    killed while it waits. Other programs may raise or drop requests meanwhile, and Windows may drop a request
    when its process ends, so the figures after are recorded only."""
    figures["resolution before"] = before = resolution()
    figures["sleep before"] = succeeds(SLEEPS, powershell=True)
    waiting = subprocess.Popen([*runner, exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        time.sleep(SETTLE)
        figures["resolution while waiting"] = during = resolution()
        still_waiting(waiting, "the resolution")
        if before <= ONE_MS:
            figures["note"] = "the timer was at 1 ms or finer before timerhold started: its request cannot be told apart"
        expect(before <= ONE_MS or during <= ONE_MS, f"the resolution while timerhold waits is {during}, coarser than 1 ms")
        state = throttling(waiting)
        figures["throttling state"] = state if isinstance(state, list) else f"no answer (error {state})"
        still_waiting(waiting, "the throttling state")
        build = sys.getwindowsversion().build
        if isinstance(state, list):  # (only the timer resolution's bits are timerhold's)
            ours = state[1] & IGNORE_TIMER_RESOLUTION and not state[2] & IGNORE_TIMER_RESOLUTION
        else:  # (below it, another refusal is recorded only: none but 22000's is documented)
            ours = build < THROTTLING_ANSWERED and state not in BROKEN_QUERY
        expect(ours, f"the throttling state on build {build} is {figures['throttling state']}, not one whose ControlMask "
                     "holds IGNORE_TIMER_RESOLUTION (4) and whose StateMask does not")
        figures["sleep while waiting"] = succeeds(SLEEPS, powershell=True)
        still_waiting(waiting, "the sleeps")
        figures["requested period"] = period = energy_report()
        still_waiting(waiting, "powercfg's report")
        expect(period == "10000", f"powercfg's report gives timerhold.exe the requested period {period}")
        waiting.communicate(b"\r\n", timeout=60)
    finally:  # (where a step failed, or Enter did not end it)
        if waiting.poll() is None:
            waiting.kill()
    time.sleep(SETTLE)
    figures["resolution after"] = resolution()
    killed = subprocess.Popen([*runner, exe], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    time.sleep(SETTLE)
    figures["resolution while waiting, before a kill"] = resolution()
    still_waiting(killed, "the resolution before the kill")
    killed.kill()
    killed.communicate(timeout=60)
    time.sleep(SETTLE)
    figures["resolution after timerhold was killed"] = resolution()


def authenticode(listing):
    """The Status and the signer's subject (None where there is no signer) in what Get-AuthenticodeSignature's
    Format-List prints: a line `Name : value` for each property, a longer value continued on indented lines, as
    the SignerCertificate's [Subject], [Issuer] and the rest are, each over the line below it."""
    values, name = {}, None
    for text in listing.splitlines():
        if property := re.match(r"(\w+) *: ?(.*)", text):
            name = property[1]
            values[name] = [property[2].strip()]
        elif name:
            values[name].append(text.strip())
    certificate = values.get("SignerCertificate", [])
    subject = certificate[certificate.index("[Subject]") + 1] if "[Subject]" in certificate[:-1] else None
    return values.get("Status", [None])[0], subject


def verdict(listing, signed):
    """Windows' own verdict on the exe, as the README's line gives it: Valid for a zip published with its .exe.p7s,
    NotSigned for one without; the signer recorded."""
    status, subject = authenticode(listing)
    figures["signature"] = f"{status}, signed by {subject}" if subject else status
    wanted = "Valid" if signed else "NotSigned"
    expect(status == wanted, f"`{SIGNATURE}` gives {status}, not {wanted}, for a zip published "
                             f"{'with' if signed else 'without'} its .exe.p7s")


def signature(zip, folder):
    """The exe judged by Windows in the extracted folder, where the zip has its .exe.p7s beside it or not."""
    verdict(succeeds(SIGNATURE, True, folder), os.path.exists(zip.removesuffix(".zip") + ".exe.p7s"))


def attempt(step, *arguments):
    """A step of the proof: whatever stops it is a failure, said in a line."""
    try:
        return step(*arguments)
    except Exception as error:  # (the proof reports every step; a traceback would lose the figures)
        failures.append(f"{step.__name__}: {type(error).__name__}: {error}")


def planted_dll(exe, fixtures, work):
    figures["planted winmm.dll loaded (timerhold, control)"] = loaded = planted(exe, fixtures, work)
    expect(loaded == [False, True], f"a planted winmm.dll loaded: {loaded} (timerhold, its control)")


def report():
    figures["failures"] = failures
    with open("figures.json", "w") as file:
        json.dump(figures, file, indent=2)
    with open(os.environ.get("GITHUB_STEP_SUMMARY", os.devnull), "a") as summary:
        summary.write("| | |\n|---|---|\n" + "".join(f"| {name} | {value} |\n" for name, value in figures.items()))


def main():
    zip, fixtures = (os.path.abspath(path) for path in sys.argv[1:])
    figures["Windows"] = f"{platform.platform()} {platform.machine()}, {os.path.basename(zip)}"
    work = tempfile.mkdtemp()
    try:
        attempt(registry)
        attempt(hashes, zip)
        exe = attempt(extract, zip, work)
        if exe:
            attempt(signature, zip, work)
            attempt(prompts, exe)
            attempt(hold, exe)
            attempt(planted_dll, exe, fixtures, work)
    finally:
        report()
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
