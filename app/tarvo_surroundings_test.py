#!/usr/bin/env python3
"""Linux surroundings that are hostile or unusual: closed standard descriptors, other users, umasks,
append-only and write-only logs, a log moved aside under a waiting writer, multi-byte locales, no
/proc, and an event removed from under its waiter. POSIX only; the suite runs in a private /dev/shm
of its own (a mount namespace), because it attacks the event.

  tarvo_surroundings_test.py --tarvo PATH --wait PATH --testkit PATH [--runner COMMAND]
"""
import ctypes
import fcntl
import os
import re
import shutil
import socket
import struct
import stat
import subprocess
import sys
import tempfile
import time

import tarvo_e2e_test as e2e
from tarvo_e2e_test import E2ETest, block_pattern, command, is_windows

EVENT_NAME = "{E2B90EB2-C1FF-41B1-AD29-E12A06492A93}"
SHM = "/dev/shm"


def event_path(uid=None):
    return "%s/tarvo-event.%d.%s" % (SHM, os.getuid() if uid is None else uid, EVENT_NAME)


def wait_until(condition, seconds=10, what="the condition"):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("%s did not come within %s s" % (what, seconds))
        time.sleep(0.01)


def without_leak_checks():
    """The environment for a sanitized build's program run where LeakSanitizer cannot work: under
    ptrace (strace) or without /proc. Other builds ignore the setting."""
    options = os.environ.get("ASAN_OPTIONS", "")
    return dict(os.environ, ASAN_OPTIONS=(options + ":" if options else "") + "detect_leaks=0")


def inode(path):
    try:
        return os.lstat(path).st_ino
    except FileNotFoundError:
        return None


class Inotify:
    """The names that appear in a directory (created, linked or moved in) while it is watched."""

    IN_CREATE, IN_MOVED_TO = 0x100, 0x80

    def __init__(self, directory):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, directory.encode(), self.IN_CREATE | self.IN_MOVED_TO) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def names(self):
        found = []
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return found
            offset = 0
            while offset < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16 : offset + 16 + length].rstrip(b"\0")
                found.append(name.decode())
                offset += 16 + length

    def close(self):
        os.close(self.fd)


class SurroundingsTest(E2ETest):
    def setUp(self):
        if is_windows():
            self.skipTest("Linux surroundings")
        if os.environ.get("TARVO_PRIVATE_SHM") != "1":
            self.skipTest("needs a private /dev/shm (root, to make a mount namespace)")
        super().setUp()

    def tearDown(self):
        super().tearDown()
        # The private /dev/shm is this suite's alone: leave it as it was found.
        for name in os.listdir(SHM):
            os.remove(os.path.join(SHM, name))

    def needs_root(self):
        if os.getuid() != 0:
            self.skipTest("needs root to act as another user")

    def start(self, *arguments, preexec_fn=None, stdout=subprocess.PIPE, user=None, program=None, env=None):
        process = subprocess.Popen(e2e.as_user(user) + command(program or e2e.ARGS.wait, *arguments), cwd=self.dir,
                                   stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec_fn, env=env)
        self.addCleanup(self.end, process)
        return process

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.kill()
        process.communicate()

    def old_name(self):
        return self.log_name()[:-4] + ".001"

    def lines(self, name=None):
        return self.log(name or self.log_name()).split(b"\r\n")


class ClosedDescriptorTest(SurroundingsTest):
    def test_waiter_with_standard_output_closed_keeps_a_sound_event_and_wakes(self):
        waiter = self.start("--timeout", "30", preexec_fn=lambda: os.close(1), stdout=None)
        wait_until(lambda: os.path.exists(event_path()), what="the event")
        time.sleep(0.2)  # "waiting" has gone wherever it goes by now
        with open(event_path(), "rb") as file:
            content = file.read()
        self.assertEqual(len(content), 24, content)
        self.assertTrue(content.startswith(b"tarvo-event/1\0"), content)
        self.run_tarvo()
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])
        self.assertEqual(waiter.wait(e2e.TIMEOUT), 0, "signalled")

    def test_run_with_every_standard_descriptor_closed(self):
        waiter = self.peer("--timeout", "30")
        run = subprocess.run(command(e2e.ARGS.tarvo), cwd=self.dir, timeout=e2e.TIMEOUT,
                             preexec_fn=lambda: [os.close(fd) for fd in (0, 1, 2)])
        self.assertEqual(run.returncode, 0)
        self.assertEqual(waiter.read_line(), "signalled")
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])
        handle = int(re.search(rb"Handle = (\d+)", self.log(self.log_name())).group(1))
        self.assertGreaterEqual(handle, 3, "the event is on no standard descriptor")
        self.assertEqual(os.listdir(self.dir), [self.log_name()])


class PublicationTest(SurroundingsTest):
    def test_no_other_name_ever_appears_in_dev_shm(self):
        watch = Inotify(SHM)
        self.addCleanup(watch.close)
        for _ in range(5):
            subprocess.run(command(e2e.ARGS.wait, "--timeout", "0"), stdout=subprocess.DEVNULL, check=False)
            self.run_tarvo()
        waiter = self.peer("--timeout", "30")
        self.run_tarvo()
        self.assertEqual(waiter.read_line(), "signalled")
        names = watch.names()
        self.assertTrue(names, "the event was published")
        self.assertEqual(set(names), {os.path.basename(event_path())})

    def test_publisher_killed_before_the_link_leaves_nothing(self):
        if not shutil.which("strace"):
            self.skipTest("needs strace to kill at the link")
        killed = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=linkat,link",
                                 "-e", "inject=linkat,link:signal=SIGKILL"] + command(e2e.ARGS.wait, "--timeout", "5"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=e2e.TIMEOUT,
                                env=without_leak_checks())
        self.assertNotEqual(killed.returncode, 0, killed)
        self.assertNotIn(b"waiting", killed.stdout)
        self.assertEqual(os.listdir(SHM), [])


class RefusalTest(SurroundingsTest):
    def test_objects_of_other_kinds_under_the_name_are_refused_with_their_codes(self):
        def fifo(path):
            os.mkfifo(path, 0o600)

        def bound_socket(path):
            listener = socket.socket(socket.AF_UNIX)
            listener.bind(path)
            self.addCleanup(listener.close)

        cases = [("directory", os.mkdir, 21), ("FIFO", fifo, 17), ("socket", bound_socket, 6)]
        for what, make, error in cases:
            with self.subTest(what):
                make(event_path())
                try:
                    self.run_tarvo()
                    lines = self.lines()
                    self.assertEqual(lines[3], b"{Create} FevTarvo.Handle = 0, FevTarvo.LastError = %d" % error)
                    self.assertEqual(lines[5], b"{Run} = FALSE")
                    self.assertTrue(os.path.lexists(event_path()), "left untouched")
                finally:
                    os.remove(os.path.join(self.dir, self.log_name()))
                    (os.rmdir if what == "directory" else os.remove)(event_path())

    def test_another_user_can_occupy_the_name_and_the_run_logs_it(self):
        self.needs_root()
        occupy = subprocess.run(e2e.as_user(e2e.NOBODY) + ["sh", "-c", 'echo mine > "$0"', event_path()])
        self.assertEqual(occupy.returncode, 0)
        self.run_tarvo()
        lines = self.lines()
        self.assertEqual(lines[3], b"{Create} FevTarvo.Handle = 0, FevTarvo.LastError = 13")
        self.assertEqual(lines[5], b"{Run} = FALSE")
        with open(event_path(), "rb") as file:
            self.assertEqual(file.read(), b"mine\n")


class LockedEventTest(SurroundingsTest):
    def test_event_locked_beyond_the_bounded_wait_times_out(self):
        # A holder killed leaves its event unheld; a process that then locks it exclusively and
        # stays keeps every opener waiting, up to the bound.
        holder = self.start("--hold", "60")
        self.assertEqual(holder.stdout.readline(), b"holding\n")
        holder.kill()
        holder.wait()
        self.start("--exclusive", "--no-fork", event_path(), "sleep", "30", program="flock")

        def locked():
            with open(event_path(), "rb") as probe:
                try:
                    fcntl.flock(probe, fcntl.LOCK_SH | fcntl.LOCK_NB)
                    return False
                except BlockingIOError:
                    return True

        wait_until(locked, what="the exclusive lock")
        started = time.monotonic()
        self.run_tarvo()
        self.assertGreaterEqual(time.monotonic() - started, 1.5, "the bounded wait")
        lines = self.lines()
        self.assertEqual(lines[3], b"{Create} FevTarvo.Handle = 0, FevTarvo.LastError = 110")
        self.assertEqual(lines[5], b"{Run} = FALSE")


class ModeTest(SurroundingsTest):
    def test_event_made_under_a_strict_umask_opens_for_the_users_next_run(self):
        self.needs_root()
        os.chmod(self.dir, 0o777)
        waiter = self.start("-c", 'umask 0277 && exec "$0" --timeout 30', e2e.ARGS.wait, user=e2e.NOBODY,
                            program="/bin/sh")
        self.assertEqual(waiter.stdout.readline(), b"waiting\n")
        self.assertEqual(os.stat(event_path(e2e.NOBODY)).st_mode & 0o777, 0o600)
        self.run_tarvo(user=e2e.NOBODY)
        self.assertEqual(waiter.stdout.readline(), b"signalled\n")
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])


class LogAccessTest(SurroundingsTest):
    def test_append_only_log_receives_every_block(self):
        log = os.path.join(self.dir, self.log_name())
        with open(log, "wb"):
            pass
        if subprocess.run(["chattr", "+a", log], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("the file system of %s takes no append-only attribute (chattr +a)" % self.dir)
        self.addCleanup(self.remove_append_only, log)
        for _ in range(2):
            self.run_tarvo()
        self.assert_log(self.log_name(), [block_pattern(self.program_name())] * 2)

    def test_fifo_under_the_log_name_stalls_nothing(self):
        log = os.path.join(self.dir, self.log_name())
        os.mkfifo(log)
        waiter = self.peer("--timeout", "30")
        self.run_tarvo()
        self.assertEqual(waiter.read_line(), "signalled")
        self.assertTrue(stat.S_ISFIFO(os.lstat(log).st_mode))

    def remove_append_only(self, log):
        # tearDown could not remove the append-only file, nor so the directory.
        subprocess.run(["chattr", "-a", log], check=True)
        shutil.rmtree(self.dir)

    def test_write_only_log_receives_every_block(self):
        self.needs_root()
        os.chmod(self.dir, 0o777)
        log = os.path.join(self.dir, self.log_name())
        with open(log, "wb"):
            pass
        os.chown(log, e2e.NOBODY, e2e.NOBODY)
        os.chmod(log, 0o200)
        for _ in range(2):
            self.run_tarvo(user=e2e.NOBODY)
        self.assert_log(self.log_name(), [block_pattern(self.program_name())] * 2)

    def test_full_write_only_log_is_moved_aside(self):
        self.needs_root()
        os.chmod(self.dir, 0o777)
        log = os.path.join(self.dir, self.log_name())
        with open(log, "wb") as file:
            file.truncate(10 * 1024 * 1024)
        os.chown(log, e2e.NOBODY, e2e.NOBODY)
        os.chmod(log, 0o200)
        self.run_tarvo(user=e2e.NOBODY)
        self.assertEqual(os.path.getsize(os.path.join(self.dir, self.old_name())), 10 * 1024 * 1024)
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])


def blocked_lock_requests(path):
    """The requests that wait for a lock on the file at path (other processes' locks do not count)."""
    number = os.stat(path).st_ino
    with open("/proc/locks") as locks:
        return [line for line in locks if "->" in line and line.split()[6].endswith(":%d" % number)]


class WaitingWriterTest(SurroundingsTest):
    def hold_log(self):
        holder = self.start("hold-log", self.log_name(), "60", program=e2e.ARGS.testkit)
        self.assertEqual(holder.stdout.readline(), b"holding\n")
        return holder

    def test_writer_whose_log_was_moved_aside_meanwhile_writes_to_the_new_log(self):
        holder = self.hold_log()
        log = os.path.join(self.dir, self.log_name())
        run = self.start(program=e2e.ARGS.tarvo)
        wait_until(lambda: blocked_lock_requests(log), what="the run's wait for the lock")
        old = os.path.join(self.dir, self.old_name())
        os.rename(os.path.join(self.dir, self.log_name()), old)  # as another copy's rotation does
        holder.terminate()
        self.assertEqual(run.wait(e2e.TIMEOUT), 0)
        self.assertEqual(os.path.getsize(old), 0, "nothing went to the old generation")
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])

    def test_final_flush_waits_in_the_queue_without_polling(self):
        if not shutil.which("strace"):
            self.skipTest("needs strace to count the lock calls")
        holder = self.hold_log()
        trace = os.path.join(tempfile.gettempdir(), "tarvo-flock-%d" % os.getpid())
        self.addCleanup(lambda: os.path.exists(trace) and os.remove(trace))
        log = os.path.join(self.dir, self.log_name())
        run = self.start("-qq", "-o", trace, "-e", "trace=flock", e2e.ARGS.tarvo, program="strace",
                         env=without_leak_checks())
        wait_until(lambda: blocked_lock_requests(log), what="the run's wait for the lock")
        time.sleep(0.5)
        holder.terminate()
        self.assertEqual(run.wait(e2e.TIMEOUT), 0)
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])
        with open(trace) as file:
            calls = [line for line in file if line.startswith("flock(")]
        # Polling every 10 ms for half a second would take some fifty.
        self.assertLessEqual(len(calls), 12, "".join(calls))
        self.assertIn("LOCK_SH)", "".join(calls), "a blocking lock request")

    def run_beside_a_lock(self, lock):
        """Runs tarvo while this process holds lock on the log; the size of the log afterwards."""
        log = os.path.join(self.dir, self.log_name())
        with open(log, "wb+") as file:
            fcntl.flock(file, lock)
            waiter = self.peer("--timeout", "30")
            self.run_tarvo()
            self.assertEqual(waiter.read_line(), "signalled")
        return os.path.getsize(log)

    def test_an_exclusive_lock_keeps_writers_out(self):
        self.assertEqual(self.run_beside_a_lock(fcntl.LOCK_EX), 0, "no writer got in")

    def test_a_shared_lock_lets_writers_in_where_they_share_the_log(self):
        kind = subprocess.run(["stat", "-f", "-c", "%T", self.dir], capture_output=True, text=True).stdout.strip()
        if kind not in ("ext2/ext3", "xfs", "btrfs", "tmpfs"):
            self.skipTest("the test directory is on %s" % kind)
        self.run_beside_a_lock(fcntl.LOCK_SH)
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])

    def test_a_shared_lock_lets_writers_in_on_overlayfs(self):
        # As in a container, whose files are on overlayfs.
        self.needs_root()
        layers = tempfile.mkdtemp(prefix="tarvo-overlay-")
        self.addCleanup(shutil.rmtree, layers, ignore_errors=True)
        for layer in ("lower", "upper", "work"):
            os.mkdir(os.path.join(layers, layer))
        options = "lowerdir={0}/lower,upperdir={0}/upper,workdir={0}/work".format(layers)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", options, self.dir], check=True)
        self.addCleanup(self.unmount)
        self.run_beside_a_lock(fcntl.LOCK_SH)
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])

    def test_a_shared_lock_keeps_writers_out_on_other_file_systems(self):
        # ramfs stands for the file systems that are not known to keep appends whole (NFS, SMB,
        # FUSE): there writers lock the log exclusively, as on Windows.
        self.needs_root()
        subprocess.run(["mount", "-t", "ramfs", "ramfs", self.dir], check=True)
        self.addCleanup(self.unmount)
        self.assertEqual(self.run_beside_a_lock(fcntl.LOCK_SH), 0, "no writer got in")

    def unmount(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        subprocess.run(["umount", self.dir], check=True)
        os.rmdir(self.dir)


class MultiByteLocaleTest(SurroundingsTest):
    @classmethod
    def setUpClass(cls):
        # A locale whose sources are missing is skipped by the test that needs it.
        cls.locales = None if is_windows() else e2e.make_locales(("ja_JP", "UTF-8"), ("zh_TW", "BIG5"), check=False)

    @classmethod
    def tearDownClass(cls):
        if cls.locales:
            shutil.rmtree(cls.locales, ignore_errors=True)

    def run_in_locale(self, locale, name):
        if not self.locales or not os.path.isdir(os.path.join(self.locales, locale)):
            self.skipTest("needs localedef and the sources of %s" % locale)
        program = os.path.join(self.dir.encode(), name)
        shutil.copy(e2e.ARGS.tarvo, program)
        environment = {"PATH": os.environ.get("PATH", ""), "LOCPATH": self.locales, "LANG": locale}
        result = subprocess.run([program], cwd=self.dir, env=environment, capture_output=True, timeout=e2e.TIMEOUT)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_separator_that_is_no_single_byte_character_becomes_a_colon(self):
        # ja_JP: "%H時%M分%S秒"; zh_TW.BIG5: the same characters in BIG5
        for locale in ("ja_JP.UTF-8", "zh_TW.BIG5"):
            with self.subTest(locale):
                self.run_in_locale(locale, b"tarvo")
                banner = self.lines("TARVO.LOG")[1]
                self.assertRegex(banner, rb"\[\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\]")
                os.remove(os.path.join(self.dir, "TARVO.LOG"))
                os.remove(os.path.join(self.dir, "tarvo"))

    def test_upper_casing_never_touches_a_byte_inside_a_character(self):
        # In BIG5 the second byte of many characters is an ASCII letter: 0xA4 0x61 is one character.
        name = b"s\xa4\x61ve\xa5\x41"
        self.run_in_locale("zh_TW.BIG5", name)
        self.assertEqual(sorted(os.listdir(self.dir.encode())), sorted([name, b"S\xa4\x61VE\xa5\x41.LOG"]))
        self.assertIn(b"START " + name + b" (ver. 3)", self.lines(b"S\xa4\x61VE\xa5\x41.LOG".decode("latin-1"))[1])

    def log(self, name):
        with open(os.path.join(self.dir.encode(), name.encode("latin-1")), "rb") as file:
            return file.read()


class NoProcTest(SurroundingsTest):
    def test_log_is_named_after_the_program_without_proc(self):
        self.needs_root()
        with open(e2e.ARGS.tarvo, "rb") as file:
            if b"__asan_init" in file.read():
                self.skipTest("a sanitizer's runtime needs /proc (it reads its options and threads there)")
        waiter = self.peer("--timeout", "30")
        run = subprocess.run(["unshare", "--mount", "sh", "-c",
                              'mount -t tmpfs tmpfs /proc && test ! -e /proc/self/exe && exec "$0"', e2e.ARGS.tarvo],
                             cwd=self.dir, capture_output=True, timeout=e2e.TIMEOUT)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
        self.assertEqual(waiter.read_line(), "signalled")
        self.assert_log(self.log_name(), [block_pattern(self.program_name())])


class RemovedEventTest(SurroundingsTest):
    def test_waiter_publishes_a_removed_event_again_and_still_wakes(self):
        waiter = self.peer("--timeout", "30")
        first = inode(event_path())
        os.remove(event_path())  # as a cleaner or logind's RemoveIPC does
        wait_until(lambda: inode(event_path()) not in (None, first), what="the event under its name again")
        self.assertEqual(os.stat(event_path()).st_mode & 0o777, 0o600)
        self.run_tarvo()
        self.assertEqual(waiter.read_line(), "signalled")
        self.assertEqual(waiter.finish(), 0)


def main():
    # The suite attacks the event: it runs in a /dev/shm of its own, in a mount namespace.
    if os.environ.get("TARVO_PRIVATE_SHM") != "1" and "--runner=" in sys.argv and os.getuid() == 0:
        os.environ["TARVO_PRIVATE_SHM"] = "1"
        script = 'mount -t tmpfs tmpfs /dev/shm && exec "$0" "$@"'
        os.execvp("unshare", ["unshare", "--mount", "sh", "-c", script, sys.executable] + sys.argv)
    e2e.main()


if __name__ == "__main__":
    main()
