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
WINE_RATIO_TARGET = 1.15
EXE_SIZE_TARGET = 256 * 1024
SYSTEM_DLLS = {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL"}
NON_ASCII_NAME = "s\u00e4\u00e4t\u00f6.exe"  # upper-cased through user32, which is then loaded


def spawn_and_wait(argv, environment=None):
    started = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, environment or os.environ)
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


def wine_pairs(loader, programs, pairs, workdir):
    """Runs the programs under Wine one after the other, pair after pair, on the one wineserver
    that is already running. Median wall time per program, and the median of the per-pair ratios
    of each program to the first."""
    os.chdir(workdir)
    environment = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
    samples = {name: [] for name in programs}
    for index in range(pairs + 5):
        for name, exe in programs.items():
            elapsed = spawn_and_wait([loader, exe], environment)
            if index >= 5:
                samples[name].append(elapsed)
    floor = list(programs)[0]
    medians = {name: statistics.median(values) / 1e6 for name, values in samples.items()}
    ratios = {name: statistics.median(a / b for a, b in zip(values, samples[floor]))
              for name, values in samples.items()}
    return medians, ratios


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
    parser.add_argument("--wine-loader", help="Wine's loader; with it, the Wine rows are measured")
    parser.add_argument("--wine-exe", help="tarvo.exe of the build that this Wine runs")
    parser.add_argument("--wine-minimal", help="bench/minimal_win32.c built for that Wine")
    parser.add_argument("--wine-pairs", type=int, default=100)
    args = parser.parse_args()
    tarvo, wait, minimal = (os.path.abspath(p) for p in (args.tarvo, args.wait, args.minimal))
    args.exe, args.out = os.path.abspath(args.exe), os.path.abspath(args.out)
    if args.wine_loader:
        args.wine_exe, args.wine_minimal = os.path.abspath(args.wine_exe), os.path.abspath(args.wine_minimal)
    workdir = tempfile.mkdtemp(prefix="tarvo-bench-")
    try:
        wall = wall_times({"true": [shutil.which("true")], "minimal": [minimal], "tarvo": [tarvo]}, args.runs, workdir)
        counted = instructions([tarvo], workdir)
        floor = instructions([minimal], workdir)
        calls = system_calls([tarvo], workdir)
        minimal_calls = system_calls([minimal], workdir)
        latency = wake_latency(tarvo, wait, 30, workdir)
        if args.wine_loader:
            wine_dir = os.path.join(workdir, "wine")
            os.mkdir(wine_dir)
            renamed = os.path.join(wine_dir, NON_ASCII_NAME)
            shutil.copy(args.wine_exe, renamed)
            programs = {"minimal": args.wine_minimal, "tarvo": args.wine_exe, "renamed": renamed}
            wine, wine_ratio = wine_pairs(args.wine_loader, programs, args.wine_pairs, wine_dir)
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
    ]
    if args.wine_loader:
        ratio = wine_ratio["tarvo"]
        loader = os.path.basename(args.wine_loader)
        rows += [
            ("tarvo.exe under Wine (%s), median of %d pairs with minimal Win32" % (loader, args.wine_pairs),
             "%.2f ms (minimal Win32 %.2f ms)" % (wine["tarvo"], wine["minimal"]),
             "at most %.2f x minimal Win32: %.2f x, %s"
             % (WINE_RATIO_TARGET, ratio, verdict(ratio <= WINE_RATIO_TARGET))),
            ("the same under a non-ASCII name (%s: loads user32)" % NON_ASCII_NAME,
             "%.2f ms" % wine["renamed"], "%.2f x minimal Win32" % wine_ratio["renamed"]),
        ]
    rows += [
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
