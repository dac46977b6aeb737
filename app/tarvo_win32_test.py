#!/usr/bin/env python3
"""End-to-end tests of tarvo.exe under Wine that need more than the shared Wine prefix: a log held
by another Win32 program, a read-only log run by a user whom the read-only attribute binds (Wine's
root is not bound by it), and a double-byte ANSI code page (cp932, from a ja_JP locale built with
localedef). Skipped for the native build.

  tarvo_win32_test.py --tarvo PATH --wait PATH --testkit PATH --runner COMMAND
  TARVO_HOLDFILE: the test program tarvo-holdfile.exe

The tests that need another user or the locale's registry settings run as user nobody in a Wine
prefix of nobody's own (wineprefix-nobody beside the shared prefix), with nobody's own wineserver,
so that nothing they change reaches the tests that share the other prefix.
"""
import os
import re
import shutil
import subprocess

import tarvo_e2e_test as e2e
from tarvo_e2e_test import NOBODY, TIMEOUT, E2ETest, as_user, block_pattern, is_windows

MAX_LOG_SIZE = 10485760
FULLWIDTH_COLON = "\uff1a"  # two bytes in cp932: 0x81 0x46


def make_big_log(path, size=MAX_LOG_SIZE, tag=b"original"):
    with open(path, "wb") as file:
        file.write(tag)
        file.truncate(size)


class HeldLogTest(E2ETest):
    """A reader of another program holds the log while tarvo runs, in the same Wine prefix."""

    def setUp(self):
        if not is_windows():
            self.skipTest("Windows only")
        super().setUp()

    def test_rotation_and_writes_follow_the_readers_sharing(self):
        cases = [
            # the reader's access, its sharing, rotated, the run's lines written
            ("r", "rd", True, True),
            ("r", "rwd", True, True),
            ("r", "rw", False, True),  # no delete sharing: the log cannot be renamed, only appended to
            ("r", "r", False, False),  # no write sharing either: the run's lines are lost
        ]
        log = os.path.join(self.dir, self.log_name())
        old = os.path.join(self.dir, self.log_name()[:-4] + ".001")
        for access, sharing, rotated, written in cases:
            with self.subTest(access=access, sharing=sharing):
                make_big_log(log)
                holder = self.peer(self.log_name(), access, sharing, "60", expect="holding",
                                   program=os.environ["TARVO_HOLDFILE"])
                self.run_tarvo()
                holder.stop()
                if rotated:
                    self.assertEqual(os.path.getsize(old), MAX_LOG_SIZE)
                    with open(old, "rb") as file:
                        self.assertEqual(file.read(8), b"original")
                    self.assert_log(self.log_name(), [block_pattern(self.program_name())])
                else:
                    self.assertFalse(os.path.exists(old))
                    with open(log, "rb") as file:
                        self.assertEqual(file.read(8), b"original")
                        file.seek(MAX_LOG_SIZE)
                        tail = file.read()
                    self.assertEqual(tail.count(b"{Run} = TRUE\r\n"), 1 if written else 0, tail)
                for name in (log, old):
                    if os.path.exists(name):
                        os.remove(name)


class NobodyWine:
    """A Wine prefix of user nobody's own, with a wineserver kept running while the tests run."""

    def __init__(self):
        base = os.path.dirname(e2e.ARGS.runner[1])  # beside the shared prefix, in the build tree
        self.prefix = os.path.join(base, "wineprefix-nobody")
        self.home = os.path.join(base, "wine-nobody-home")
        self.loader = e2e.ARGS.runner[2]

    def environment(self, **extra):
        environment = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        }
        environment.update(extra)
        return environment

    def run(self, *argv, environment=None, check=True, detached=False):
        # What stays running (the server, Wine's services) must not hold the output pipes open.
        output = subprocess.DEVNULL if detached else subprocess.PIPE
        return subprocess.run(as_user(NOBODY) + list(argv), env=environment or self.environment(),
                              stdin=subprocess.DEVNULL, stdout=output, stderr=output, timeout=300, check=check)

    def start(self):
        if os.path.exists(self.prefix) and os.stat(self.prefix).st_uid != NOBODY:
            shutil.rmtree(self.prefix)
        for directory in (self.home, self.prefix):
            os.makedirs(directory, exist_ok=True)
            os.chown(directory, NOBODY, NOBODY)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            self.run(self.loader, "wineboot", "--init")
            self.run(self.loader, "reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
                     "/v", "Debugger", "/d", "false", "/f")
            self.run("wineserver", "-w")
        self.run("wineserver", "-p", detached=True)
        self.run(self.loader, "cmd", "/c", "exit", detached=True)  # Wine's services start here, not in a test

    def stop(self):
        self.run("wineserver", "-k", check=False)


class NobodyTest(E2ETest):
    """Runs tarvo.exe as nobody in nobody's prefix, in a directory of nobody's."""

    wine = None

    @classmethod
    def setUpClass(cls):
        if not is_windows() or os.getuid() != 0 or not shutil.which("setpriv"):
            return
        wine = NobodyWine()
        reachable = subprocess.run(as_user(NOBODY) + ["test", "-x", os.path.dirname(wine.prefix), "-a", "-x",
                                                      e2e.ARGS.runner[0]])
        if reachable.returncode != 0:
            return  # the build tree lies where nobody cannot go
        cls.wine = wine
        cls.wine.start()

    @classmethod
    def tearDownClass(cls):
        if cls.wine:
            cls.wine.stop()

    def setUp(self):
        if not self.wine:
            self.skipTest("needs Windows programs under Wine, root, setpriv and a build tree that nobody can reach")
        super().setUp()
        os.chown(self.dir, NOBODY, NOBODY)

    def copy_tarvo(self, name):
        program = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(program), exist_ok=True)
        shutil.copy(e2e.ARGS.tarvo, program)
        return program

    def run_as_nobody(self, program, environment=None):
        result = subprocess.run(
            as_user(NOBODY) + [e2e.ARGS.runner[0], self.wine.prefix, self.wine.loader, program],
            cwd=self.dir, env=environment or self.wine.environment(), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, timeout=TIMEOUT)
        self.assertEqual((result.returncode, result.stdout), (0, b""), result.stderr)


class ReadOnlyLogTest(NobodyTest):
    def test_read_only_log_is_moved_aside_at_the_limit_and_a_fresh_log_started(self):
        program = self.copy_tarvo("tarvo.exe")
        log, old = os.path.join(self.dir, "TARVO.LOG"), os.path.join(self.dir, "TARVO.001")
        for size, rotated in ((MAX_LOG_SIZE, True), (MAX_LOG_SIZE - 1, False)):
            with self.subTest(size=size):
                make_big_log(log, size)
                os.chown(log, NOBODY, NOBODY)
                os.chmod(log, 0o444)  # what Wine shows as FILE_ATTRIBUTE_READONLY
                self.run_as_nobody(program)
                if rotated:
                    self.assertEqual(os.path.getsize(old), size)
                    self.assert_log("TARVO.LOG", [block_pattern("tarvo.exe")])
                else:  # a read-only log below the limit cannot be written: the run's lines are lost
                    self.assertFalse(os.path.exists(old))
                    self.assertEqual(os.path.getsize(log), size)
                with open(old if rotated else log, "rb") as file:
                    self.assertEqual(file.read(8), b"original")
                for name in (log, old):
                    if os.path.exists(name):
                        os.remove(name)


class DoubleByteCodePageTest(NobodyTest):
    """The ANSI code page 932 that Wine takes from a ja_JP locale."""

    locales = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if cls.wine:
            cls.locales = e2e.make_locales(("ja_JP", "UTF-8"))

    @classmethod
    def tearDownClass(cls):
        if cls.locales:
            shutil.rmtree(cls.locales, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        if not self.locales:
            self.skipTest("needs Windows programs under Wine, root, setpriv, a build tree nobody can reach, localedef")
        super().setUp()

    def japanese(self):
        return self.wine.environment(LOCPATH=self.locales, LC_ALL="ja_JP.UTF-8")

    def banner(self, log_name):
        with open(os.path.join(self.dir, log_name), "rb") as file:
            return file.read().split(b"\r\n")[1]

    def test_path_whose_260th_byte_is_inside_a_double_byte_character_gives_the_whole_name(self):
        # On Wine a Unix path /x/y is the Windows path Z:\x\y; ASCII up to a run of double-byte
        # characters, one of which starts at byte 259 (counting from 0).
        prefix = len("Z:" + self.dir + "\\")
        start = 251
        self.assertLess(prefix + 1, start, "the temporary directory's path is too long for this test")
        program = self.copy_tarvo(os.path.join("a" * (start - prefix - 1), "\u65e5" * 12, "DEEP.EXE"))
        windows_path = ("Z:" + program.replace("/", "\\")).encode("cp932")
        self.assertEqual(windows_path[259:261], "\u65e5".encode("cp932"))
        self.run_as_nobody(program, self.japanese())
        self.assert_log("DEEP.LOG", [block_pattern("DEEP.EXE")])
        self.assertEqual(sorted(os.listdir(self.dir)), ["DEEP.LOG", "a" * (start - prefix - 1)])

    def test_names_are_upper_cased_by_characters(self):
        cases = [
            # executable, log: a trail byte that is an ASCII letter stays, a full-width letter is upper-cased
            ("lower.exe", "LOWER.LOG"),
            ("\u30c2a.exe", "\u30c2A.LOG"),  # katakana DI is 0x83 0x61 ('a') in cp932
            ("\uff41\u30c2.exe", "\uff21\u30c2.LOG"),
        ]
        for name, log_name in cases:
            with self.subTest(name=name):
                program = self.copy_tarvo(name)
                self.run_as_nobody(program, self.japanese())
                self.assertIn(log_name, os.listdir(self.dir))
                self.assertIn(b"START " + name.encode("cp932") + b" (ver. 3)", self.banner(log_name))
                os.remove(os.path.join(self.dir, log_name))
                os.remove(program)

    def test_time_separator_of_two_bytes_is_written_whole(self):
        key = r"HKCU\Control Panel\International"
        program = self.copy_tarvo("tarvo.exe")
        cases = [(FULLWIDTH_COLON, b"\x81\x46"), (".", b".")]
        try:
            for separator, written in cases:
                with self.subTest(separator=separator):
                    if os.path.exists(os.path.join(self.dir, "TARVO.LOG")):
                        os.remove(os.path.join(self.dir, "TARVO.LOG"))
                    # The user's time format; Wine derives LOCALE_STIME from it.
                    self.wine.run(self.wine.loader, "reg", "add", key, "/v", "sTimeFormat", "/d",
                                  "H{0}mm{0}ss".format(separator), "/f", environment=self.japanese())
                    self.run_as_nobody(program, self.japanese())
                    stamp = rb"\[\d\d\.\d\d\.\d\d \d\d%s\d\d%s\d\d\]" % ((re.escape(written),) * 2)
                    self.assertRegex(self.banner("TARVO.LOG"), stamp)
        finally:
            self.wine.run(self.wine.loader, "reg", "delete", key, "/v", "sTimeFormat", "/f",
                          environment=self.japanese(), check=False)


if __name__ == "__main__":
    e2e.main()
