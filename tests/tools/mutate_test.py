#!/usr/bin/env python3
"""tools/mutate on a scratch tree: the mutants each operator plants, verdicts taken from the test
command, and the source put back when the run is interrupted."""
import argparse
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
STAGE = "#!/usr/bin/env bash\nset -euo pipefail\ncommand -v x >/dev/null || exit 77\n"


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


    def test_the_seams_operators(self):
        # (file, line, the line before it, {(operator, new line)})
        cases = [
            ("tools/zeph_host/serve.cpp", "        return kUsage;", "",
             {("exit code swapped", "        return kFailed;")}),
            ("tools/zeph_host/cli.h", "constexpr int kOk = 0;", "",
             {("constant changed", "constexpr int kOk = 1;")}),
            ("tools/zeph_host/main.cpp", '    c->add_option("F", a.f, "f")->required();', "",
             {("option made optional", '    c->add_option("F", a.f, "f");'),
              ("statement dropped", "    ;  // dropped")}),
            ("tools/zeph_host/main.cpp", '    c->add_option("--p", a.p)->check(CLI::Range(1, 9));', "",
             {("option check dropped", '    c->add_option("--p", a.p);'),
              ("constant changed", '    c->add_option("--p", a.p)->check(CLI::Range(0, 9));'),
              ("constant changed", '    c->add_option("--p", a.p)->check(CLI::Range(1, 10));'),
              ("statement dropped", "    ;  // dropped")}),
            ("bench/x.cpp", "        return kUsage;", "", set()),
            ("tools/ci/10-x.sh", "set -euo pipefail", "",
             {("errexit dropped", "set -uo pipefail"), ("pipefail dropped", "set -eu")}),
            ("tools/ci/10-x.sh", "  exit 77", "",
             {("exit code changed", "  exit 0"), ("command dropped", "  :  # dropped")}),
            ("tools/ci/10-x.sh", '[ -d "$x" ] || { echo "no # here"; exit 1; }', "",
             {("exit code changed", '[ -d "$x" ] || { echo "no # here"; exit 0; }'),
              ("|| exit dropped", '[ -d "$x" ]'),
              ("test negated", '! [ -d "$x" ] || { echo "no # here"; exit 1; }')}),
            ("tools/ci/10-x.sh", 'if [ "$n" -gt 0 ]; then  # n -gt 0', "",
             {("test flipped", 'if [ "$n" -le 0 ]; then  # n -gt 0'),
              ("test negated", 'if ! [ "$n" -gt 0 ]; then  # n -gt 0')}),
            ("tools/ci/10-x.sh", "cmake --build x", "",
             {("command dropped", ":  # dropped")}),
            ("tools/ci/10-x.sh", "  --target y", "cmake --build x \\", set()),
            ("tools/ci/10-x.sh", "# exit 1", "", set()),
            ("cmake/x.cmake", 'add_custom_command(OUTPUT x DEPENDS a ${b} COMMENT "DEPENDS c")', "",
             {("DEPENDS entry dropped", 'add_custom_command(OUTPUT x DEPENDS ${b} COMMENT "DEPENDS c")'),
              ("DEPENDS entry dropped", 'add_custom_command(OUTPUT x DEPENDS a COMMENT "DEPENDS c")'),
              ("command dropped", "#  dropped")}),
            ("cmake/x.cmake", 'file(GLOB s CONFIGURE_DEPENDS "*.zs")', "",
             {("command dropped", "#  dropped")}),
            ("cmake/x.cmake", "if(NOT WIN32 AND ZEPH_X) # on Linux", "",
             {("NOT dropped", "if(WIN32 AND ZEPH_X) # on Linux"),
              ("condition negated", "if(NOT (NOT WIN32 AND ZEPH_X)) # on Linux")}),
            ("cmake/x.cmake", '  message(FATAL_ERROR "no ON here")', "",
             {("fatal error softened", '  message(WARNING "no ON here")'),
              ("command dropped", "  #  dropped")}),
            ("cmake/x.cmake", "if(CMAKE_VERSION VERSION_LESS 3.25)", "",
             {("comparison flipped", "if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.25)"),
              ("condition negated", "if(NOT (CMAKE_VERSION VERSION_LESS 3.25))")}),
            ("cmake/x.cmake", "endif()", "", set()),
        ]
        for path, line, previous, expected in cases:
            got = {(m["op"], m["new"]) for m in mutate.mutants_of_line(path, 1, line, None, previous)}
            self.assertEqual(got, expected, (path, line))

    def test_which_files_have_mutants_and_of_which_kind(self):
        bash, python = "#!/usr/bin/env bash\n", "#!/usr/bin/env python3\n"
        cases = [("host/bridge/bridge_codec.c", "", "c"), ("tools/zeph_host/serve.cpp", "", "c"),
                 ("tests/cli/x.cpp", "", None), ("cmake/ZephSdk.cmake", "", "cmake"),
                 ("cmake/kit/check_exports.cmake", "", "cmake"), ("cmake/kit/on-dll", bash, "shell"),
                 ("cmake/kit/version.rc.in", "", None), ("tools/ci/05-format.sh", "", "shell"),
                 ("tools/run-bench", bash, "shell"), ("tools/mutate", python, None),
                 ("tools/deps/windows.post.sh", "", None), ("tests/cli/fixtures/x.sh", "", None)]
        for path, first, kind in cases:
            self.assertEqual(mutate.mutable(path, first), kind, path)


class Areas(unittest.TestCase):
    def test_each_area_runs_its_tables_and_tests(self):
        names = ["cli.serve", "cli.run", "docs.readme", "kit.fault.map_open", "Ostrel.exports",
                 "tools.ci_stages", "tools.mutate", "serve.browser_sessions"]
        tests = [(n, name, f"{name} lit.py x ") for n, name in enumerate(names, 1)]
        tests.append((9, "bridge_codec.round_trip", "bridge_codec.round_trip /b/bin/codec_test x "))
        tests.append((10, "trace_scenario.lines", "trace_scenario.lines /b/bin/trace_scenario_test x "))
        cases = [("tools/zeph_host/serve.cpp", ["cli.serve", "cli.run", "docs.readme", "Ostrel.exports"]),
                 ("bench/serve/server.cpp", ["cli.serve"]),
                 ("bench/trace/trace_scenario.cpp", ["cli.serve", "trace_scenario.lines"]),
                 ("host/bridge/bridge_codec.c", ["bridge_codec.round_trip"]),
                 # A trace's conversion is what asks the facility for its answering lines.
                 ("bench/facility/routing.cpp", ["cli.run", "trace_scenario.lines"]),
                 ("cmake/ZephComponent.cmake", ["cli.serve", "cli.run", "kit.fault.map_open",
                                                "Ostrel.exports"]),
                 ("cmake/kit/on-dll", ["kit.fault.map_open", "Ostrel.exports"]),
                 ("tools/ci/40-windows.sh", ["tools.ci_stages"]),
                 ("tools/run-bench", ["cli.serve", "cli.run", "docs.readme", "tools.ci_stages",
                                      "tools.mutate"])]
        for path, expected in cases:
            got = [name for _, name, _ in mutate.select(tests, mutate.tests_for(path), False)]
            self.assertEqual(got, expected, path)

    def test_the_seams_are_scored_apart_from_the_units(self):
        def m(path):
            return {"file": path}
        results = {"killed": [m("host/x.cpp"), m("tools/ci/05-format.sh"), m("cmake/x.cmake")],
                   "survived": [m("tools/zeph_host/serve.cpp"), m("bench/x.cpp"), m("bench/y.cpp")],
                   "unbuilt": [m("cmake/y.cmake")], "untried": []}
        self.assertEqual(mutate.scores(results), {"units": [1, 3], "seams": [2, 3]})

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


class Renumbered(unittest.TestCase):
    def test_a_test_case_added_during_the_run_leaves_the_areas_tests_as_they_were(self):
        args = argparse.Namespace(build_dir="/nonexistent", test_command=None, jobs=2,
                                  test_timeout=60)
        runner = mutate.Runner(args)
        commands = []
        runner.run = lambda cmd, timeout: commands.append(cmd) or (True, "Building x", 0)
        runner.tests = lambda: [(1, "a.x", ""), (2, "a.new", ""), (3, "b.y", ""), (4, "c.z", "")]
        runner.build_and_test([(1, "a.x", ""), (2, "b.y", "")], 60, "host/x.cpp")
        self.assertIn("0,0,0,1,3", commands[-1])


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

    def test_output_that_is_not_utf8_is_read_not_fatal(self):
        # (test command, exit code, words in the output); \377 is never UTF-8.
        cases = [("printf 'x\\377\\n'; ! grep -q 'a <= b' host/x.cpp", 1,
                  "mutate: 1 of 7 mutants killed"),
                 ("printf 'x\\377\\n'; exit 1", 2,
                  "mutate: the test command fails unmutated; fix that first")]
        for command, code, words in cases:
            p = subprocess.run(self.mutate(command), env=self.env, capture_output=True)
            out = p.stdout.decode(errors="replace")
            self.assertEqual(p.returncode, code, out + p.stderr.decode(errors="replace"))
            self.assertIn(words, out)
            self.assertEqual(self.file.read_text(), SOURCE)

    def test_a_script_is_mutated_and_scored_as_a_seam(self):
        (self.root / "tools" / "ci").mkdir(parents=True)
        script = self.root / "tools" / "ci" / "10-x.sh"
        script.write_text(STAGE)
        report = self.root / "report.json"
        p = subprocess.run([sys.executable, str(TOOL), "--files", "tools/ci/10-x.sh", "host/x.cpp",
                            "--build-dir", str(self.root / "build"), "--report", str(report),
                            "--test-command", "! grep -q 'exit 0' tools/ci/10-x.sh"],
                           env=self.env, capture_output=True, text=True)
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        killed = json.loads(report.read_text())["killed"]
        self.assertEqual([(m["file"], m["op"]) for m in killed],
                         [("tools/ci/10-x.sh", "exit code changed")])
        self.assertIn("  units: 0 of 7 killed (0 %)", p.stdout)
        self.assertIn("  seams: 1 of 5 killed (20 %)", p.stdout)
        self.assertEqual(script.read_text(), STAGE)

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
