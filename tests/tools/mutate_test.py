#!/usr/bin/env python3
"""tools/mutate on a scratch tree: the mutants each operator plants, verdicts taken from the test
command, and the source put back when the run is interrupted."""
import importlib.machinery
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parents[2] / "tools" / "mutate"
mutate = importlib.machinery.SourceFileLoader("mutate", str(TOOL)).load_module()
SOURCE = "    if (a < b && n == 1) // n < 2\n        send(\"x < y\");\n"


class Operators(unittest.TestCase):
    def test_each_operator_and_nothing_in_texts_or_comments(self):
        cases = [
            ("    if (a < b && n == 1) // n < 2",
             {("comparison flipped", "    if (a >= b && n == 1) // n < 2"),
              ("comparison flipped", "    if (a < b && n != 1) // n < 2"),
              ("bound moved by one", "    if (a <= b && n == 1) // n < 2"),
              ("logic swapped", "    if (a < b || n == 1) // n < 2"),
              ("constant changed", "    if (a < b && n == 0) // n < 2"),
              ("condition negated", "    if (!(a < b && n == 1)) // n < 2")}),
            ('        send("x < y");', {("statement dropped", "        ;  // dropped")}),
            ("    std::vector<int> v{2};", {("constant changed", "    std::vector<int> v{3};")}),
            ("#define LIMIT 31", set()),
            ("        case 3:", set()),
        ]
        for line, expected in cases:
            got = {(m["op"], m["new"]) for m in mutate.mutants_of_line("f.cpp", 1, line)}
            self.assertEqual(got, expected, line)


class Areas(unittest.TestCase):
    def test_dll_tests_run_for_the_bench_side_only(self):
        # The DLLs are not rebuilt: a DLL test for their own code would test nothing, or fail
        # on the source's new date alone.
        names = ["Ostrel.dll.run", "Ostrel.scenario.take", "Ostrel.dll.scenario.take", "dll.soak",
                 "dll.serve"]
        tests = [(n, name, f"{name} /b/on-dll x ") for n, name in enumerate(names, 1)]
        cases = [("host/module_loader.cpp", None,
                  ["Ostrel.dll.run", "Ostrel.scenario.take", "dll.soak"]),
                 ("bench/soak/soak.cpp", None, ["dll.soak"]),
                 ("bench/scenario/runner.cpp", None, ["Ostrel.dll.run", "Ostrel.scenario.take",
                                                      "Ostrel.dll.scenario.take"]),
                 ("script_helper/zeph_notify.cpp", None, ["Ostrel.scenario.take"]),
                 ("panels/components/Ostrel/ostrel.cpp", "dll", ["Ostrel.scenario.take"])]
        for path, regex, expected in cases:
            got = [name for _, name, _ in mutate.select(tests, mutate.tests_for(path, regex),
                                                        bool(regex))]
            self.assertEqual(got, expected, path)


class Runs(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = Path(self.dir.name)
        (self.root / "host").mkdir()
        self.file = self.root / "host" / "x.cpp"
        self.file.write_text(SOURCE)
        self.env = dict(os.environ, ZEPH_MUTATE_ROOT=str(self.root))

    def tearDown(self):
        self.dir.cleanup()

    def mutate(self, command, *extra):
        return [sys.executable, str(TOOL), "--lines", "host/x.cpp:1-2", "--build-dir",
                str(self.root / "build"), "--test-command", command, *extra]

    def test_a_failing_test_command_kills_and_the_source_comes_back(self):
        report = self.root / "report.json"
        p = subprocess.run(self.mutate("! grep -q 'a <= b' host/x.cpp", "--report", str(report)),
                           env=self.env, capture_output=True, text=True)
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)  # survivors
        result = json.loads(report.read_text())
        self.assertEqual([m["op"] for m in result["killed"]], ["bound moved by one"])
        self.assertEqual(len(result["survived"]), 6)
        self.assertIn("survived: host/x.cpp:2 statement dropped", p.stdout)
        self.assertEqual(self.file.read_text(), SOURCE)

    def test_ctrl_c_restores_the_source(self):
        (self.root / "orig").write_text(SOURCE)
        p = subprocess.Popen(self.mutate("cmp -s host/x.cpp orig || sleep 30"), env=self.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 20
            while self.file.read_text() == SOURCE and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertNotEqual(self.file.read_text(), SOURCE, "no mutant was planted")
            p.send_signal(signal.SIGINT)
            self.assertEqual(p.wait(timeout=20), 128 + signal.SIGINT)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(self.file.read_text(), SOURCE)
        self.assertFalse((self.root / "build" / "mutate.backup").exists())


if __name__ == "__main__":
    unittest.main()
