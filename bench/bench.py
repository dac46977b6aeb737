#!/usr/bin/env python3
"""Measures one run of tarvo; see bench/run.sh. Prints a Markdown table and writes it to --out."""
import argparse
import datetime
import os
import platform
import re
import select
import shutil
import statistics
import subprocess
import tempfile
import time

INSTRUCTION_TARGET = 150_000
WALL_RATIO_TARGET = 1.25
EXE_SIZE_TARGET = 256 * 1024
SYSTEM_DLLS = {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL"}


def spawn_and_wait(argv):
    started = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed" % argv[0])
    return elapsed


def wall_times(programs, runs, workdir):
    """Median wall time per program, interleaved so that drift hits all of them alike."""
    os.chdir(workdir)
    samples = {name: [] for name in programs}
    for index in range(runs + 5):
        for name, argv in programs.items():
            elapsed = spawn_and_wait(argv)
            if index >= 5:
                samples[name].append(elapsed)
    return {name: statistics.median(values) / 1e6 for name, values in samples.items()}


def instructions(argv, workdir):
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
        cwd=workdir, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True,
    )
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def system_calls(argv, workdir):
    summary = os.path.join(workdir, "strace.txt")
    subprocess.run(["strace", "-f", "-c", "-o", summary] + argv, cwd=workdir, check=True)
    calls = {}
    with open(summary) as file:
        for line in file:
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                calls[fields[-1]] = int(fields[3])
    os.remove(summary)
    return calls


def wake_latency(tarvo, wait, runs, workdir):
    samples = []
    for _ in range(runs):
        peer = subprocess.Popen([wait, "--timeout", "10"], cwd=workdir, stdout=subprocess.PIPE, text=True)
        assert peer.stdout.readline().strip() == "waiting"
        started = time.perf_counter_ns()
        subprocess.Popen([tarvo], cwd=workdir)
        ready, _, _ = select.select([peer.stdout], [], [], 10)
        line = peer.stdout.readline().strip() if ready else "timeout"
        samples.append(time.perf_counter_ns() - started)
        peer.wait()
        if line != "signalled":
            raise SystemExit("the peer did not wake")
        time.sleep(0.01)
    return statistics.median(samples) / 1e6


def imports(exe):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], stdout=subprocess.PIPE, text=True, check=True)
    return re.findall(r"DLL Name: (\S+)", dump.stdout)


def verdict(ok):
    return "met" if ok else "**missed**"


def main():
    parser = argparse.ArgumentParser()
    for name in ("tarvo", "wait", "minimal", "exe", "out"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    tarvo, wait, minimal = (os.path.abspath(p) for p in (args.tarvo, args.wait, args.minimal))
    args.exe, args.out = os.path.abspath(args.exe), os.path.abspath(args.out)
    workdir = tempfile.mkdtemp(prefix="tarvo-bench-")
    try:
        wall = wall_times({"true": [shutil.which("true")], "minimal": [minimal], "tarvo": [tarvo]}, args.runs, workdir)
        counted = instructions([tarvo], workdir)
        floor = instructions([minimal], workdir)
        calls = system_calls([tarvo], workdir)
        minimal_calls = system_calls([minimal], workdir)
        latency = wake_latency(tarvo, wait, 30, workdir)
    finally:
        os.chdir("/")
        shutil.rmtree(workdir, ignore_errors=True)
    exe_size = os.path.getsize(args.exe)
    dlls = imports(args.exe)
    ratio = wall["tarvo"] / wall["minimal"]
    syscall_text = ", ".join("%s %d" % item for item in sorted(calls.items()))

    rows = [
        ("wall time per run, median of %d" % args.runs, "%.3f ms (true %.3f ms, minimal C %.3f ms)"
         % (wall["tarvo"], wall["true"], wall["minimal"]), "at most %.2f x minimal C: %.2f x, %s"
         % (WALL_RATIO_TARGET, ratio, verdict(ratio <= WALL_RATIO_TARGET))),
        ("user-space instructions per run (callgrind)", "%d (minimal C %d)" % (counted, floor),
         "at most %d: %s" % (INSTRUCTION_TARGET, verdict(counted <= INSTRUCTION_TARGET))),
        ("fsyncs per run", "%d" % calls.get("fsync", 0), "exactly 2: %s" % verdict(calls.get("fsync", 0) == 2)),
        ("system calls per run", "%d (minimal C %d)" % (sum(calls.values()), sum(minimal_calls.values())), ""),
        ("system calls by kind", syscall_text, ""),
        ("start of tarvo to the waiting peer's wake, median of 30", "%.3f ms" % latency, ""),
        ("tarvo.exe size", "%d bytes (%.1f KiB)" % (exe_size, exe_size / 1024),
         "at most 256 KiB: %s" % verdict(exe_size <= EXE_SIZE_TARGET)),
        ("tarvo.exe imports", ", ".join(dlls),
         "system DLLs only: %s" % verdict({dll.upper() for dll in dlls} <= SYSTEM_DLLS)),
    ]
    lines = [
        "Measured %s on %s, %d cores, LANG=%s, in a directory of %s."
        % (datetime.date.today().isoformat(), platform.machine(), os.cpu_count(), os.environ.get("LANG", "(unset)"),
           tempfile.gettempdir()),
        "",
        "| what | measured | target |",
        "|---|---|---|",
    ] + ["| %s | %s | %s |" % row for row in rows]
    table = "\n".join(lines) + "\n"
    print(table)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as file:
        file.write(table)


if __name__ == "__main__":
    main()
