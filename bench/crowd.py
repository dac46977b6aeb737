#!/usr/bin/env python3
"""Runs N copies of tarvo at once, for growing N, in a temporary directory on /tmp, and counts the
blocks that reach the log: whole construction batches (the empty line, the banner, the empty line
and the event's line) and whole run batches (the signal's line and the result). See bench/crowd.sh.

  crowd.py --tarvo PATH [--counts 250,500,...] [--dir /tmp] [--out FILE]

The copies are started first as small shells held at a barrier (a pipe whose writer closes), so
that they all execute tarvo at the same moment. Prints a Markdown table and writes it to --out.
"""
import argparse
import datetime
import os
import platform
import re
import shutil
import tempfile
import time

CONSTRUCTION = re.compile(
    rb"\r\n\*\*\* START [^\r\n]* \(ver\. 3\) \[[^\r\n]*\] \*\*\*\r\n\r\n"
    rb"\{Create\} FevTarvo\.Handle = (-?\d+), FevTarvo\.LastError = (-?\d+)\r\n"
)
RUN = re.compile(rb"\{SetEvent\} FevTarvo\.LastError = (-?\d+)\r\n\{Run\} = (TRUE|FALSE)\r\n")


def parse(data):
    """Counts whole batches; anything that is no whole batch counts as broken (bytes)."""
    constructions = runs = broken = 0
    no_event = {}  # error code: count
    position = 0
    while position < len(data):
        match = CONSTRUCTION.match(data, position)
        if match:
            constructions += 1
            if match.group(1) == b"0":
                code = int(match.group(2))
                no_event[code] = no_event.get(code, 0) + 1
        else:
            match = RUN.match(data, position)
            if match:
                runs += 1
        if not match:
            following = data.find(b"\r\n\r\n*** START ", position + 1)
            following = len(data) if following < 0 else following
            broken += following - position
            position = following
        else:
            position = match.end()
    return constructions, runs, no_event, broken


def crowd(tarvo, copies, workdir):
    """Runs copies of tarvo at once; returns the seconds from the release to the last exit and the
    count of copies that did not exit with 0. Each copy starts as a small shell that reads the
    barrier (its standard input) and executes tarvo when the read ends."""
    barrier_read, barrier_write = os.pipe()
    actions = [(os.POSIX_SPAWN_DUP2, barrier_read, 0), (os.POSIX_SPAWN_CLOSE, barrier_write)]
    script = 'read _; exec "$0"'
    children = [os.posix_spawn("/bin/sh", ["sh", "-c", script, tarvo], os.environ, file_actions=actions)
                for _ in range(copies)]
    os.close(barrier_read)
    time.sleep(0.5 + copies / 2000)  # every shell has reached its read
    started = time.monotonic()
    os.close(barrier_write)
    failed = 0
    for pid in children:
        _, status = os.waitpid(pid, 0)
        failed += os.waitstatus_to_exitcode(status) != 0
    return time.monotonic() - started, failed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tarvo", required=True)
    parser.add_argument("--counts", default="250,500,1000,2000,3000,4000,6000,8000")
    parser.add_argument("--out")
    parser.add_argument("--dir", default="/tmp", help="where the temporary directory is made")
    args = parser.parse_args()
    tarvo = os.path.abspath(args.tarvo)
    log_name = os.path.splitext(os.path.basename(tarvo))[0].upper() + ".LOG"
    rows = []
    for copies in [int(count) for count in args.counts.split(",")]:
        workdir = tempfile.mkdtemp(prefix="tarvo-crowd-", dir=args.dir)
        os.chdir(workdir)
        try:
            seconds, failed = crowd(tarvo, copies, workdir)
            path = os.path.join(workdir, log_name)
            data = open(path, "rb").read() if os.path.exists(path) else b""
        finally:
            os.chdir("/")
            shutil.rmtree(workdir, ignore_errors=True)
        constructions, runs, no_event, broken = parse(data)
        lost = 2 * copies - constructions - runs
        no_event = "%d%s" % (sum(no_event.values()), "".join(" (%d: error %d)" % (count, code)
                                                              for code, count in sorted(no_event.items())))
        rows.append((copies, constructions, runs, lost, no_event, broken, failed, seconds))
        print("%d copies: %d construction and %d run batches, %d lost, %.2f s" % (copies, constructions, runs, lost,
                                                                                    seconds), flush=True)
    table = [
        "Measured %s on %s, %d cores, kernel %s, in a directory of %s."
        % (datetime.date.today().isoformat(), platform.machine(), os.cpu_count(), platform.release(), args.dir),
        "",
        "| copies at once | construction batches | run batches | batches lost | runs without the event | "
        "broken bytes | failed exits | time taken |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for copies, constructions, runs, lost, no_event, broken, failed, seconds in rows:
        table.append("| %d | %d | %d | %d | %s | %d | %d | %.2f s |" % (copies, constructions, runs, lost, no_event,
                                                                          broken, failed, seconds))
    text = "\n".join(table) + "\n"
    print(text)
    if args.out:
        os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
        with open(args.out, "w") as file:
            file.write(text)


if __name__ == "__main__":
    main()
