#!/usr/bin/env python3
"""What timerhold costs, beside what it cannot cost less than.

    bench/footprint.py

Builds the presets that it can, then prints, for the native build with
standard input at its end, against `head -c 1` (a standard tool doing the
same wait) and a C program that only starts up, prints and reads one
character (the floor): instructions retired (callgrind, repeatable on a
busy machine) and peak resident memory; then the CPU time the native
program uses in a 2-second wait, and each Windows exe's size and imports.
It reports; it does not judge.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build/native/timerhold")
FLOOR = r"""
#include <stdio.h>
int main(void) { printf("Press any key to restore normal timer frequency.\n"); getchar(); return 0; }
"""


def build(preset):
    """None once the preset is built; else the step that failed, with the first line of its error."""
    for step in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset]):
        done = subprocess.run(step, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode:
            said = [line.strip() for line in done.stderr.splitlines() if line.strip() and "CMake Error" not in line]
            return f"`{' '.join(step)}` fails: " + (said[0] if said else f"status {done.returncode}")
    return None


def instructions(command):
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(re.search(r"Collected : (\d+)", result.stderr)[1])


def waiting(command):
    """Starts `command` with standard input an open pipe and returns once it
    sleeps reading it."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    while True:
        with open(f"/proc/{proc.pid}/wchan") as f:
            if "read" in f.read():
                return proc
        time.sleep(0.01)


def peak_kib(command):
    """The peak resident memory of a process waiting for input (its mm's high-water mark:
    a child's rusage would count the memory of this script, which it was forked from)."""
    proc = waiting(command)
    with open(f"/proc/{proc.pid}/status") as f:
        peak = int(re.search(r"VmHWM:\s+(\d+) kB", f.read())[1])
    proc.stdin.close()
    proc.wait()
    return peak


def cpu_while_waiting(command, seconds=2.0):
    """CPU time (user + system) spent in a wait of `seconds`."""
    proc = waiting(command)

    def ticks():
        with open(f"/proc/{proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    before = ticks()
    time.sleep(seconds)
    spent = ticks() - before
    proc.stdin.close()
    proc.wait()
    return spent * 1000 / os.sysconf("SC_CLK_TCK")


def main():
    if not shutil.which("valgrind"):
        sys.exit("bench: needs valgrind, which counts the instructions (Debian: apt-get install valgrind)")
    failed = build("native")
    if failed:
        sys.exit(f"bench: the native build {failed}")
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "floor.c"), "w") as f:
            f.write(FLOOR)
        floor = os.path.join(tmp, "floor")
        subprocess.run(["cc", "-O2", "-o", floor, f.name], check=True)

        rows = [("timerhold", [NATIVE]), ("floor (C: printf, getchar)", [floor]), ("head -c 1", ["head", "-c", "1"])]
        counted = {name: (instructions(cmd), peak_kib(cmd)) for name, cmd in rows}

    ours, least = counted["timerhold"][0], counted["floor (C: printf, getchar)"][0]
    print(f"{'':34} {'instructions':>14} {'peak RSS':>10}")
    print(f"{'':34} {'(input at end)':>14} {'(waiting)':>10}")
    for name, (count, kib) in counted.items():
        print(f"{name:34} {count:14,} {kib:7,} KiB")
    print(f"timerhold against the floor: {100 * (ours - least) / least:+.1f}% (target: within 5%)")
    print(f"timerhold against head -c 1: {100 * ours / counted['head -c 1'][0]:.0f}% (target: at most 50%)")
    print(f"CPU time in a 2-second wait:  {cpu_while_waiting([NATIVE]):.0f} ms (target: 0)")

    for preset in ("windows-x86", "windows-x64"):
        triple = {"windows-x86": "i686", "windows-x64": "x86_64"}[preset] + "-w64-mingw32-g++"
        missing = [tool for tool in ("clang", "ld.lld", "llvm-readobj", triple) if not shutil.which(tool)]
        failed = None if missing else build(preset)
        if missing or failed:
            print(f"{preset} timerhold.exe: not built here: " + (f"no {', '.join(missing)} (see the README)" if missing else failed))
            continue
        exe = os.path.join(ROOT, "build", preset, "timerhold.exe")
        dump = subprocess.run(["llvm-readobj", "--coff-imports", exe], capture_output=True, text=True, check=True).stdout
        size = os.path.getsize(exe)
        print(f"{preset} timerhold.exe: {size:,} bytes ({size / 1024:.1f} KiB; target: at most 16 KiB)")
        for dll, names in re.findall(r"\n  Name: (\S+)\n(?:  \w+RVA: .*\n)*((?:  Symbol: .*\n)*)", dump):
            names = " ".join(re.findall(r"Symbol: (\w+)", names))
            print(f"  imports from {dll}: {names}")


if __name__ == "__main__":
    main()
