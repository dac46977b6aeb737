#!/usr/bin/env python3
"""End-to-end tests of the built tarvo and tarvo-wait programs, run in temporary directories.

  tarvo_e2e_test.py --tarvo PATH --wait PATH --testkit PATH [--runner COMMAND] [unittest options]

With --runner (e.g. a Wine wrapper) the programs are Windows executables run through it.
"""
import argparse
import datetime
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
NOBODY = 65534
EVENT_PATH = "/dev/shm/tarvo-event.%d.{E2B90EB2-C1FF-41B1-AD29-E12A06492A93}"
TIMEOUT = 60


def command(program, *arguments):
    return ARGS.runner + [program] + list(arguments)


def is_windows():
    return bool(ARGS.runner)


def block_pattern(program_name, created=True, signalled=True):
    """The lines of one run, as regular expressions."""
    handle = r"[1-9]\d*, FevTarvo\.LastError = 0" if created else r"0, FevTarvo\.LastError = [1-9]\d*"
    return [
        "",
        r"\*\*\* START %s \(ver\. 3\) \[\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\] \*\*\*" % re.escape(program_name),
        "",
        r"\{Create\} FevTarvo\.Handle = " + handle,
        # Without an event the signal call itself fails: ERROR_INVALID_HANDLE, EBADF.
        r"\{SetEvent\} FevTarvo\.LastError = " + ("0" if signalled else ("6" if is_windows() else "9")),
        r"\{Run\} = " + ("TRUE" if signalled else "FALSE"),
    ]


class Peer:
    """A helper process (tarvo-wait, tarvo-testkit) and its output."""

    def __init__(self, program, *arguments, user=None, cwd=None, preexec_fn=None):
        self.process = subprocess.Popen(
            as_user(user) + command(program, *arguments),
            cwd=cwd,
            preexec_fn=preexec_fn,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.pending = b""  # read but not yet taken: lines may arrive together

    def read_line(self, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.process.stdout], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(self.process.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                raise AssertionError("the helper said no more within %ss (so far: %r)" % (timeout, self.pending))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode().strip()

    def says_nothing_for(self, seconds):
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        return not ready and not self.pending

    def finish(self, timeout=TIMEOUT):
        try:
            return self.process.wait(timeout)
        finally:
            self.stop()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()  # lets it release what it holds
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


def as_user(user):
    if user is None:
        return []
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", "--"]


class E2ETest(unittest.TestCase):
    """A temporary directory to run in, and the peers started there."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvo-e2e-")
        self.peers = []

    def tearDown(self):
        for peer in self.peers:
            peer.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def peer(self, *arguments, expect="waiting", user=None, program=None, preexec_fn=None):
        peer = Peer(program or ARGS.wait, *arguments, user=user, cwd=self.dir, preexec_fn=preexec_fn)
        self.peers.append(peer)
        self.assertEqual(peer.read_line(), expect)
        return peer

    def run_tarvo(self, *arguments, program=None, user=None, limits=(), exit_code=0):
        result = subprocess.run(
            as_user(user) + list(limits) + command(program or ARGS.tarvo, *arguments),
            cwd=self.dir,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            timeout=TIMEOUT,
        )
        self.assertEqual(result.returncode, exit_code, result.stderr)
        if exit_code != 0:
            return result
        self.assertEqual(result.stdout, b"", "tarvo prints nothing")
        if not is_windows():
            self.assertEqual(result.stderr, b"", "tarvo prints nothing")
        return result

    def log(self, name):
        with open(os.path.join(self.dir, name), "rb") as file:
            return file.read()

    def assert_log(self, name, blocks):
        data = self.log(name)
        self.assertTrue(data.endswith(b"\r\n"), data)
        lines = data[:-2].split(b"\r\n")
        self.assertNotIn(b"\n", b"".join(lines), "every line ends with CR LF")
        expected = [pattern for block in blocks for pattern in block]
        self.assertEqual(len(lines), len(expected), data)
        for line, pattern in zip(lines, expected):
            self.assertRegex(line.decode("latin-1"), "^" + pattern + "$")
        return lines

    def program_name(self):
        return os.path.basename(ARGS.tarvo)

    def log_name(self):
        return os.path.splitext(self.program_name())[0].upper() + ".LOG"



class TarvoTest(E2ETest):
    def test_peer_wakes_and_log_holds_one_block(self):
        peer = self.peer("--timeout", "30")
        before = datetime.datetime.now()
        self.run_tarvo()
        after = datetime.datetime.now()
        self.assertEqual(peer.read_line(), "signalled")
        self.assertEqual(peer.finish(), 0)
        lines = self.assert_log(self.log_name(), [block_pattern(self.program_name())])
        stamp = re.search(rb"\[(.*)\]", lines[1]).group(1).decode()
        self.assertIn(stamp[:8], {before.strftime("%d.%m.%y"), after.strftime("%d.%m.%y")})
        self.assertEqual(os.listdir(self.dir), [self.log_name()], "nothing but the log is written")

    def test_two_runs_append_two_blocks_and_arguments_are_ignored(self):
        self.run_tarvo()
        self.run_tarvo("--help", "x", "/?")
        self.assert_log(self.log_name(), [block_pattern(self.program_name())] * 2)

    def test_signal_stays_set_for_a_later_waiter_while_the_event_is_held(self):
        self.peer("--hold", "60", expect="holding")
        self.run_tarvo()
        peer = self.peer("--timeout", "10")
        self.assertEqual(peer.read_line(), "signalled")
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])

    def test_signal_without_holder_is_lost(self):
        self.run_tarvo()
        peer = self.peer("--timeout", "0.5")
        self.assertEqual(peer.read_line(), "timeout")
        self.assertEqual(peer.finish(), 1)

    def test_copy_under_another_name_logs_under_that_name(self):
        copy = os.path.join(self.dir, "SIGNAL.EXE")
        shutil.copy(ARGS.tarvo, copy)
        self.run_tarvo(program=copy)
        self.assert_log("SIGNAL.LOG", [block_pattern("SIGNAL.EXE")])

    def test_long_executable_path_gives_the_whole_name(self):
        deep = os.path.join(self.dir, *(["d" * 60] * 6))
        os.makedirs(deep)
        copy = os.path.join(deep, "LONGNAME.EXE")
        shutil.copy(ARGS.tarvo, copy)
        self.assertGreater(len(copy), 300)
        self.run_tarvo(program=copy)
        self.assert_log("LONGNAME.LOG", [block_pattern("LONGNAME.EXE")])

    def test_non_ascii_name_is_upper_cased_in_the_code_page(self):
        copy = os.path.join(self.dir, "s\u00e4\u00e4t\u00f6.exe")
        shutil.copy(ARGS.tarvo, copy)
        self.run_tarvo(program=copy)
        # Windows upper-cases in its ANSI code page (1252 here); Linux without a single-byte
        # locale upper-cases ASCII only, so that UTF-8 names keep their length and meaning.
        expected = "S\u00c4\u00c4T\u00d6.LOG" if is_windows() else "S\u00e4\u00e4T\u00f6.LOG"
        self.assertIn(expected, os.listdir(self.dir))
        banner = self.log(expected).split(b"\r\n")[1]
        shown = "s\u00e4\u00e4t\u00f6.exe".encode("cp1252" if is_windows() else "utf-8")
        self.assertIn(b"START " + shown + b" (ver. 3)", banner)

    def test_name_outside_the_ansi_code_page_logs_nothing_but_signals(self):
        if not is_windows():
            self.skipTest("Windows ANSI code page")
        copy = os.path.join(self.dir, "\u2603.exe")  # a snowman: in no ANSI code page
        shutil.copy(ARGS.tarvo, copy)
        peer = self.peer("--timeout", "30")
        self.run_tarvo(program=copy)
        self.assertEqual(peer.read_line(), "signalled")
        self.assertEqual(os.listdir(self.dir), ["\u2603.exe"], "the log name '?.LOG' is refused")

    def test_batch_file_start_waits_and_sets_the_log_directory(self):
        if not is_windows():
            self.skipTest("Windows command interpreter")
        log_dir = os.path.join(self.dir, "logs")
        os.mkdir(log_dir)
        windows = lambda path: "Z:" + path.replace("/", "\\")
        line = 'start "" /wait /d %s %s' % (windows(log_dir), windows(ARGS.tarvo))
        subprocess.run(command("cmd", "/c", line), cwd=self.dir, timeout=TIMEOUT, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assert_log(os.path.join("logs", self.log_name()), [block_pattern(self.program_name())])

    def test_name_taken_by_another_kind_of_object(self):
        self.peer("--clash", "60", expect="holding")
        self.run_tarvo()
        self.assert_log(self.log_name(), [block_pattern(self.program_name(), created=False, signalled=False)])

    def test_log_name_that_is_a_directory_logs_nothing_but_signals(self):
        os.mkdir(os.path.join(self.dir, self.log_name()))
        peer = self.peer("--timeout", "30")
        self.run_tarvo()
        self.assertEqual(peer.read_line(), "signalled")
        self.assertEqual(os.listdir(os.path.join(self.dir, self.log_name())), [])

    def test_unwritable_directory_logs_nothing_but_signals(self):
        if is_windows() or os.getuid() != 0:
            self.skipTest("needs root on POSIX to run as another user")
        os.chmod(self.dir, 0o755)
        peer = self.peer("--timeout", "30", user=NOBODY)
        self.run_tarvo(user=NOBODY)
        self.assertEqual(peer.read_line(), "signalled")
        self.assertEqual(os.listdir(self.dir), [])


class EachTest(E2ETest):
    """tarvo-wait --each: a command run once per signal, with no signal lost while it runs."""

    def test_runs_once_per_signal_and_keeps_one_that_arrives_meanwhile(self):
        # The command holds the event for a second and says "holding" when it starts.
        peer = self.peer("--each", ARGS.wait, "--hold", "1")
        self.run_tarvo()
        self.assertEqual([peer.read_line(), peer.read_line()], ["signalled", "holding"])
        self.run_tarvo()  # two signals while the command runs: one stays set
        self.run_tarvo()
        self.assertEqual([peer.read_line() for _ in range(4)], ["waiting", "signalled", "holding", "waiting"])
        self.assertTrue(peer.says_nothing_for(1.5), "signals do not pile up")
        # Windows ends it with Ctrl+C; Wine turns SIGINT into that.
        peer.process.send_signal(signal.SIGINT if is_windows() else signal.SIGTERM)
        self.assertEqual(peer.finish(), 0)
        self.assert_log(self.log_name(), [block_pattern(self.program_name())] * 3)

    def test_ends_in_order_when_asked_while_the_command_runs(self):
        if is_windows():
            self.skipTest("POSIX termination requests")
        for request in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(request=request):
                peer = self.peer("--each", ARGS.wait, "--hold", "1")
                self.run_tarvo()
                self.assertEqual([peer.read_line(), peer.read_line()], ["signalled", "holding"])
                asked = time.monotonic()
                peer.process.send_signal(request)
                self.assertEqual(peer.finish(), 0)
                self.assertGreater(time.monotonic() - asked, 0.5, "it waits for the running command")
                self.assertFalse(os.path.exists(EVENT_PATH % os.getuid()), "the event went with its last holder")

    def test_arguments_reach_the_command_as_given(self):
        arguments = ["plain", "two words", "", 'say "hi"', "back\\slash", "trailing\\", "tab\there"]
        peer = self.peer("--each", ARGS.testkit, "echo", *arguments)
        self.run_tarvo()
        self.assertEqual(peer.read_line(), "signalled")
        self.assertEqual([peer.read_line() for _ in arguments], ["[%s]" % argument.strip() for argument in arguments])
        self.assertEqual(peer.read_line(), "waiting")

    def test_keeps_running_when_started_with_child_signals_ignored(self):
        if is_windows():
            self.skipTest("POSIX signal dispositions")
        ignore_children = lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        peer = self.peer("--each", ARGS.testkit, "echo", "run", preexec_fn=ignore_children)
        for _ in range(2):
            self.run_tarvo()
            self.assertEqual([peer.read_line() for _ in range(3)], ["signalled", "[run]", "waiting"])

    def test_program_that_cannot_be_found_is_an_error_at_once(self):
        not_executable = os.path.join(self.dir, "data.txt")
        with open(not_executable, "w") as file:
            file.write("no program\n")
        programs = [os.path.join(self.dir, "no-such-program"), "no-such-program-in-the-path"]
        if not is_windows():
            programs.append(not_executable)  # Windows can only tell when it comes to start it
        for program in programs:
            with self.subTest(program=program):
                result = subprocess.run(command(ARGS.wait, "--each", program), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, timeout=TIMEOUT)
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertIn(b"cannot find the program", result.stderr)

    def test_command_that_cannot_be_started_is_an_error(self):
        # Found, but no program the system can start.
        script = os.path.join(self.dir, "broken.exe" if is_windows() else "no-interpreter")
        with open(script, "wb") as file:
            file.write(b"\x00\x01 not a program\n")
        os.chmod(script, 0o755)
        peer = self.peer("--each", script)
        self.run_tarvo()
        self.assertEqual(peer.read_line(), "signalled")
        self.assertEqual(peer.process.wait(TIMEOUT), 2)
        self.assertIn(b"cannot run", peer.process.stderr.read())

    def test_needs_a_command(self):
        result = subprocess.run(command(ARGS.wait, "--each"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=TIMEOUT)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"usage", result.stderr)


def make_locales(*locales, check=True):
    """Builds locales (source, charset) with localedef into a new directory that every user can
    read, for LOCPATH; None without localedef."""
    if not shutil.which("localedef"):
        return None
    directory = tempfile.mkdtemp(prefix="tarvo-locales-")
    os.chmod(directory, 0o755)
    for source, charset in locales:
        subprocess.run(["localedef", "-i", source, "-f", charset, "%s/%s.%s" % (directory, source, charset)],
                       check=check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return directory


class LocaleTest(E2ETest):
    """The locale named by the environment: its time separator, and upper-casing in a single-byte one."""

    @classmethod
    def setUpClass(cls):
        cls.locales = None if is_windows() else make_locales(("fi_FI", "UTF-8"), ("de_DE", "ISO-8859-1"))

    @classmethod
    def tearDownClass(cls):
        if cls.locales:
            shutil.rmtree(cls.locales, ignore_errors=True)

    def run_in_locale(self, locale, name):
        if not self.locales:
            self.skipTest("needs POSIX and localedef")
        program = os.path.join(self.dir.encode(), name)
        shutil.copy(ARGS.tarvo, program)
        environment = {"PATH": os.environ.get("PATH", ""), "LOCPATH": self.locales, "LANG": locale}
        result = subprocess.run([program], cwd=self.dir, env=environment, capture_output=True, timeout=TIMEOUT)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_time_zone_decides_the_banner_time(self):
        if is_windows():
            self.skipTest("POSIX TZ")
        stamps = []
        for zone in ("UTC0", "EAST-9"):  # POSIX zone rules, no time zone files needed
            environment = {"PATH": os.environ.get("PATH", ""), "TZ": zone}
            subprocess.run([ARGS.tarvo], cwd=self.dir, env=environment, check=True, timeout=TIMEOUT)
            banner = self.log(self.log_name()).split(b"\r\n")[-6].decode()
            stamps.append(datetime.datetime.strptime(re.search(r"\[(.*)\]", banner).group(1), "%d.%m.%y %H:%M:%S"))
        self.assertAlmostEqual((stamps[1] - stamps[0]).total_seconds(), 9 * 3600, delta=120)

    def test_locale_decides_time_separator_and_upper_casing(self):
        cases = [
            # locale, executable name, log name, time separator
            ("C.UTF-8", b"tarvo", b"TARVO.LOG", b":"),
            ("fi_FI.UTF-8", b"tarvo", b"TARVO.LOG", b"."),
            ("fi_FI.UTF-8", "s\u00e4\u00e4t\u00f6".encode(), "S\u00e4\u00e4T\u00f6.LOG".encode(), b"."),
            ("de_DE.ISO-8859-1", b"s\xe4\xe4t\xf6", b"S\xc4\xc4T\xd6.LOG", b":"),
        ]
        for locale, name, log_name, separator in cases:
            with self.subTest(locale=locale, name=name):
                self.run_in_locale(locale, name)
                log_path = os.path.join(self.dir.encode(), log_name)
                with open(log_path, "rb") as file:
                    banner = file.read().split(b"\r\n")[1]
                self.assertRegex(banner, rb"\[\d\d\.\d\d\.\d\d \d\d%s\d\d%s\d\d\]" % ((re.escape(separator),) * 2))
                self.assertIn(b"START " + name + b" (ver. 3)", banner)
                os.remove(log_path)
                os.remove(os.path.join(self.dir.encode(), name))


MAX_LOG_SIZE = 10485760


class RotationTest(E2ETest):
    def make_big_log(self, name, tag=b"original", size=MAX_LOG_SIZE):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as file:
            file.write(tag)
            file.truncate(size)
        return path

    def old_name(self):
        return self.log_name()[:-4] + ".001"

    def assert_original_moved_aside(self):
        old = os.path.join(self.dir, self.old_name())
        self.assertEqual(os.path.getsize(old), MAX_LOG_SIZE)
        with open(old, "rb") as file:
            self.assertEqual(file.read(8), b"original")

    def test_run_moves_a_full_log_aside_and_starts_a_fresh_one(self):
        self.make_big_log(self.log_name())
        self.make_big_log(self.old_name(), tag=b"older", size=100)
        self.run_tarvo()
        self.assert_original_moved_aside()
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])

    def test_log_below_the_limit_keeps_growing(self):
        self.make_big_log(self.log_name(), size=MAX_LOG_SIZE - 1)
        self.run_tarvo()
        self.assertGreater(os.path.getsize(os.path.join(self.dir, self.log_name())), MAX_LOG_SIZE)
        self.assertNotIn(self.old_name(), os.listdir(self.dir))

    def test_old_generation_that_cannot_be_deleted_keeps_the_log_in_use(self):
        if is_windows() or os.getuid() != 0:
            self.skipTest("POSIX as root: another user's file in a sticky directory")
        os.chmod(self.dir, 0o1777)
        log = self.make_big_log(self.log_name())
        os.chown(log, NOBODY, NOBODY)
        self.make_big_log(self.old_name(), tag=b"older", size=100)  # root's: nobody cannot delete it
        self.run_tarvo(user=NOBODY)
        self.assertEqual(os.path.getsize(os.path.join(self.dir, self.old_name())), 100)
        self.assertGreater(os.path.getsize(log), MAX_LOG_SIZE)

    def test_copies_starting_together_rotate_once(self):
        copies = 10 if is_windows() else 20
        for _ in range(3):
            for name in os.listdir(self.dir):
                os.remove(os.path.join(self.dir, name))
            self.make_big_log(self.log_name())
            runs = [
                subprocess.Popen(command(ARGS.tarvo), cwd=self.dir, stdout=subprocess.DEVNULL)
                for _ in range(copies)
            ]
            self.assertEqual([run.wait(TIMEOUT) for run in runs], [0] * copies)
            self.assert_original_moved_aside()
            log = self.log(self.log_name())
            self.assertEqual(log.count(b"\r\n{Run} = TRUE\r\n"), copies)
            self.assertEqual(log.count(b"*** START "), copies)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tarvo", required=True)
    parser.add_argument("--wait", required=True)
    parser.add_argument("--testkit", required=True)
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    ARGS.runner = ARGS.runner.split(";") if ARGS.runner else []
    ARGS.tarvo = os.path.abspath(ARGS.tarvo)
    ARGS.wait = os.path.abspath(ARGS.wait)
    ARGS.testkit = os.path.abspath(ARGS.testkit)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
