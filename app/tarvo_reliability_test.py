#!/usr/bin/env python3
"""Reliability tests of the built programs: load, faults and hostile surroundings.

  tarvo_reliability_test.py --tarvo PATH --wait PATH --testkit PATH [--runner COMMAND]
"""
import os
import re
import shutil
import signal
import subprocess
import threading
import time

import tarvo_e2e_test as e2e
from tarvo_e2e_test import E2ETest, block_pattern, command, is_windows

EVENT_NAME = "{E2B90EB2-C1FF-41B1-AD29-E12A06492A93}"
START = re.compile(rb"^\*\*\* START .* \(ver\. 3\) \[\d\d\.\d\d\.\d\d \d\d.\d\d.\d\d\] \*\*\*$")
CREATE = re.compile(rb"^\{Create\} FevTarvo\.Handle = [1-9]\d*, FevTarvo\.LastError = 0$")


def event_path(uid=None):
    return "/dev/shm/tarvo-event.%d.%s" % (os.getuid() if uid is None else uid, EVENT_NAME)


def count_whole_batches(test, data):
    """Checks that the log is made of whole batches only: a run's four construction lines together
    and its two run lines together. Returns the number of construction and run batches."""
    test.assertTrue(data.endswith(b"\r\n"))
    lines = data[:-2].split(b"\r\n")
    starts = runs = 0
    i = 0
    while i < len(lines):
        if lines[i] == b"":
            test.assertRegex(lines[i + 1], START)
            test.assertEqual(lines[i + 2], b"")
            test.assertRegex(lines[i + 3], CREATE)
            starts, i = starts + 1, i + 4
        else:
            test.assertEqual(lines[i : i + 2], [b"{SetEvent} FevTarvo.LastError = 0", b"{Run} = TRUE"])
            runs, i = runs + 1, i + 2
    return starts, runs


class WaiterLoop(threading.Thread):
    """Starts one short tarvo-wait after another and counts the wake-ups."""

    def __init__(self):
        super().__init__()
        self.woken = 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            result = subprocess.run(command(e2e.ARGS.wait, "--timeout", "0.5"), stdout=subprocess.PIPE)
            if b"signalled" in result.stdout:
                self.woken += 1

    def stop(self):
        self.stopping.set()
        self.join()


class LoadTest(E2ETest):
    def test_copies_at_once_lose_and_split_no_lines(self):
        copies, rounds = (20, 3) if is_windows() else (50, 3)
        self.peer("--hold", "600", expect="holding")  # keeps the event between the waiters
        for round_number in range(rounds):
            waiters = WaiterLoop()
            waiters.start()
            try:
                started = time.monotonic()
                runs = [
                    subprocess.Popen(command(e2e.ARGS.tarvo), cwd=self.dir, stdout=subprocess.DEVNULL)
                    for _ in range(copies)
                ]
                self.assertEqual([run.wait(e2e.TIMEOUT) for run in runs], [0] * copies)
                print("round %d: %d copies in %.2f s" % (round_number, copies, time.monotonic() - started))
                deadline = time.monotonic() + 10
                while waiters.woken == 0 and time.monotonic() < deadline:
                    time.sleep(0.05)
            finally:
                waiters.stop()
            self.assertGreaterEqual(waiters.woken, 1, "the peer must wake at least once a round")
            expected = copies * (round_number + 1)
            self.assertEqual(count_whole_batches(self, self.log(self.log_name())), (expected, expected))
        for peer in self.peers:
            peer.stop()
        if not is_windows():
            self.assertFalse(os.path.exists(event_path()), "no event object is left behind")


class FaultTest(E2ETest):
    def test_exceptions_in_the_guarded_steps_and_beyond(self):
        testkit = os.path.basename(e2e.ARGS.testkit)
        log_name = os.path.splitext(testkit)[0].upper() + ".LOG"
        name = re.escape(testkit)
        banner = [r"\*\*\* START %s \(ver\. 3\) \[.*\] \*\*\*" % name]
        create = [r"\{Create\} FevTarvo\.Handle = [1-9]\d*, FevTarvo\.LastError = 0"]
        cases = [
            # point, kind, exit code, the block's lines after the banner and its empty line
            ("event-create", "std", 0, [r"FevTarvo = 0, EXCEPTION: injected fault at event-create", r"\{Run\} = FALSE"]),
            ("event-signal", "std", 0, create + [r"\{SetEvent\} EXCEPTION: injected fault at event-signal", r"\{Run\} = FALSE"]),
            ("event-signal", "other", 1, create + [r"\{Run\} = FALSE"]),
            ("event-create", "other", 1, []),
        ]
        for point, kind, exit_code, rest in cases:
            with self.subTest(point=point, kind=kind):
                log = os.path.join(self.dir, log_name)
                if os.path.exists(log):
                    os.remove(log)
                result = self.run_tarvo("fault", point, kind, program=e2e.ARGS.testkit, exit_code=exit_code)
                if exit_code == 1 and not is_windows():
                    self.assertIn(b"Application Error", result.stderr)
                self.assert_log(log_name, [[""] + banner + [""] + rest])

    def test_log_held_longer_than_the_retry_bound(self):
        self.peer("hold-log", self.log_name(), "30", expect="holding", program=e2e.ARGS.testkit)
        waiter = self.peer("--timeout", "30")
        started = time.monotonic()
        self.run_tarvo()  # the real program, writing the same log
        elapsed = time.monotonic() - started
        print("run against a held log took %.2f s" % elapsed)
        self.assertEqual(waiter.read_line(), "signalled")
        self.assertGreaterEqual(elapsed, 1.5)
        self.assertLess(elapsed, 8)

    def test_killed_waiter_hangs_nobody(self):
        killed = self.peer("--timeout", "60")
        killed.process.kill()
        killed.process.wait()
        started = time.monotonic()
        self.run_tarvo()
        print("signal after a killed waiter took %.2f s" % (time.monotonic() - started))
        data = self.log(self.log_name())
        self.assertTrue(data.endswith(b"{SetEvent} FevTarvo.LastError = 0\r\n{Run} = TRUE\r\n"))

    def test_event_of_killed_holders_goes_with_them(self):
        self.peer("--hold", "60", expect="holding")
        self.peer("--timeout", "60")  # waits; is killed below too
        for peer in self.peers:
            peer.process.kill()
            peer.process.wait()
        self.run_tarvo()
        if not is_windows():
            self.assertFalse(os.path.exists(event_path()), "the run removes what the killed holders left")
        late = self.peer("--timeout", "0.3")
        self.assertEqual(late.read_line(), "timeout", "the event ended with its holders and the run")

    def test_stopped_waiter_delays_nothing(self):
        if is_windows():
            self.skipTest("a stopped Wine process still takes the signal in the server")
        stopped = self.peer("--timeout", "60")
        stopped.process.send_signal(signal.SIGSTOP)
        try:
            started = time.monotonic()
            self.run_tarvo()
            print("signal past a stopped waiter took %.2f s" % (time.monotonic() - started))
            self.assertEqual(self.peer("--timeout", "5").read_line(), "signalled")
        finally:
            stopped.process.send_signal(signal.SIGCONT)

    def test_file_size_limit_in_the_middle_of_a_write(self):
        if is_windows():
            self.skipTest("POSIX file size limit")
        waiter = self.peer("--timeout", "30")
        self.run_tarvo(limits=["prlimit", "--fsize=40", "--"])
        self.assertEqual(waiter.read_line(), "signalled")
        partial = self.log(self.log_name())
        self.assertEqual(len(partial), 40)
        self.run_tarvo()
        data = self.log(self.log_name())
        self.assertEqual(data[:40], partial)
        later = data[40:]
        self.assertEqual(later.count(b"*** START "), 1, "nothing written twice")
        self.assertTrue(later.startswith(b"\r\n*** START "), later)
        self.assertTrue(later.endswith(b"{Run} = TRUE\r\n"))


class HostileTest(E2ETest):
    def setUp(self):
        if is_windows():
            self.skipTest("POSIX surroundings")
        super().setUp()

    def test_foreign_objects_under_the_event_name_are_refused_untouched(self):
        cases = [
            ("plain file", b"x" * 24, os.getuid(), 17),
            ("another user's", b"x" * 24, e2e.NOBODY, 13),
        ]
        for what, content, owner, error in cases:
            with self.subTest(what):
                with open(event_path(), "wb") as file:
                    file.write(content)
                os.chmod(event_path(), 0o600)
                os.chown(event_path(), owner, owner)
                try:
                    log = os.path.join(self.dir, self.log_name())
                    if os.path.exists(log):
                        os.remove(log)
                    self.run_tarvo()
                    lines = self.log(self.log_name()).split(b"\r\n")
                    self.assertEqual(lines[3], b"{Create} FevTarvo.Handle = 0, FevTarvo.LastError = %d" % error)
                    self.assertEqual(lines[5], b"{Run} = FALSE")
                    with open(event_path(), "rb") as file:
                        self.assertEqual(file.read(), content)
                finally:
                    os.remove(event_path())

    def test_control_characters_in_the_name_cannot_forge_lines(self):
        forged = "evil\r\n{Run} = TRUE\r\nx"
        copy = os.path.join(self.dir, forged)
        shutil.copy(e2e.ARGS.tarvo, copy)
        self.run_tarvo(program=copy)
        log_name = forged.upper() + ".LOG"
        self.assert_log(log_name, [block_pattern("evil??{Run} = TRUE??x")])

    def test_log_that_is_a_symbolic_link_is_not_followed(self):
        victim = os.path.join(self.dir, "victim")
        with open(victim, "wb") as file:
            file.write(b"keep")
        os.symlink(victim, os.path.join(self.dir, self.log_name()))
        waiter = self.peer("--timeout", "30")
        self.run_tarvo()
        self.assertEqual(waiter.read_line(), "signalled")
        with open(victim, "rb") as file:
            self.assertEqual(file.read(), b"keep")
        self.assertTrue(os.path.islink(os.path.join(self.dir, self.log_name())))


if __name__ == "__main__":
    e2e.main()
