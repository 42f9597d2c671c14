#!/usr/bin/env python3
"""The CI stages as test-all runs them: each one exits 77 (skipped, never passed) on a machine
without its tools, and the Windows stage's check for Wine processes left running sees its own only."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
STAGES = sorted((ROOT / "tools" / "ci").glob("[0-9][0-9]-*.sh"))
# A machine with a shell and its basic tools, and nothing that builds or checks code.
BASICS = ("bash", "sh", "env", "cat", "ls", "ps", "grep", "sed", "tr", "date", "dirname", "basename",
          "mkdir", "rm", "wc", "head", "tail", "uname", "sleep")


class Stages(unittest.TestCase):
    def test_each_stage_is_skipped_without_its_tools(self):
        self.assertGreaterEqual(len(STAGES), 8)
        with tempfile.TemporaryDirectory() as bare:
            for tool in BASICS:
                found = subprocess.run(["sh", "-c", "command -v " + tool], capture_output=True,
                                       text=True).stdout.strip()
                if found:
                    os.symlink(found, os.path.join(bare, tool))
            for stage in STAGES:
                with self.subTest(stage=stage.name):
                    # As test-all runs it.
                    p = subprocess.run(["/bin/bash", "-euo", "pipefail", str(stage)], cwd=ROOT,
                                       env={"PATH": bare, "HOME": bare}, capture_output=True,
                                       text=True, timeout=60)
                    self.assertEqual(p.returncode, 77, p.stdout + p.stderr)
                    self.assertIn("skipped", p.stdout)

    def test_each_stage_stops_at_its_first_failure(self):
        for stage in STAGES:
            with self.subTest(stage=stage.name):
                text = stage.read_text()
                self.assertTrue(text.startswith("#!/usr/bin/env bash\n"), "no shebang")
                self.assertIn("\nset -euo pipefail\n", text)


class TestAll(unittest.TestCase):
    def test_each_stage_reports_its_wall_and_processor_time(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        os.makedirs(os.path.join(d, "tools", "ci"))
        shutil.copy(ROOT / "tools" / "test-all", os.path.join(d, "tools"))
        for path, text in (("tools/install-deps", "#!/bin/sh\n"),
                           # A second of processor time and more, in a child of the stage's.
                           ("tools/ci/10-burn.sh", "python3 -c 'import time\n"
                            "while time.process_time() < 1.2: pass'\n"),
                           ("tools/ci/20-idle.sh", "sleep 1; exit 77\n")):
            Path(d, path).write_text(text)
            os.chmod(os.path.join(d, path), 0o755)
        p = subprocess.run(["bash", os.path.join(d, "tools", "test-all")], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        burn = re.search(r"=== 10-burn: ok \(\d+ s, (\d+) CPU-s\) ===", p.stdout)
        self.assertTrue(burn, p.stdout)
        self.assertIn(int(burn.group(1)), (1, 2), p.stdout)
        self.assertRegex(p.stdout, r"=== 20-idle: SKIPPED \([12] s, 0 CPU-s\) ===")
        self.assertRegex(p.stdout, r"test-all: [12] CPU-s \(user \+ system\) in all")

    def test_the_builds_go_through_the_compiler_cache_unless_it_is_turned_off(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        for sub in ("tools/ci", "stubs"):
            os.makedirs(os.path.join(d, sub))
        shutil.copy(ROOT / "tools" / "test-all", os.path.join(d, "tools"))
        # ccache -k cache_dir names the user's cache; a stage's build under another HOME uses it.
        for path, text in (("tools/install-deps", "#!/bin/sh\n"),
                           ("stubs/ccache", '#!/bin/sh\n[ "$*" = "-k cache_dir" ] && echo "$HOME/cc"\n'),
                           ("tools/ci/10-env.sh", 'HOME=/elsewhere\necho "launcher=${CMAKE_CXX_COMPILER_LAUNCHER:-} '
                            'c=${CMAKE_C_COMPILER_LAUNCHER:-} base=${CCACHE_BASEDIR:-} '
                            'dir=${CCACHE_DIR:-}"\n')):
            Path(d, path).write_text(text)
            os.chmod(os.path.join(d, path), 0o755)
        path = os.path.join(d, "stubs") + os.pathsep + os.environ["PATH"]
        for off, said in (("", "launcher=ccache c=ccache base=%s dir=%s/cc" % (os.path.realpath(d),
                                                                                os.environ["HOME"])),
                          ("1", "launcher= c= base= dir=\n")):
            with self.subTest(ZEPH_NO_CCACHE=off):
                env = {k: v for k, v in os.environ.items() if not k.startswith(("CCACHE_", "CMAKE_"))}
                p = subprocess.run(["bash", os.path.join(d, "tools", "test-all")], capture_output=True,
                                   text=True, timeout=60,
                                   env=dict(env, PATH=path, ZEPH_NO_CCACHE=off))
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                self.assertIn(said, p.stdout)



class RunBench(unittest.TestCase):
    def test_it_installs_only_what_the_run_needs_and_hands_its_arguments_to_run(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        for sub in ("tools", "stubs", "build/dev/bin"):
            os.makedirs(os.path.join(d, sub))
        shutil.copy(ROOT / "tools" / "run-bench", os.path.join(d, "tools"))
        said = os.path.join(d, "said")
        for path in ("tools/install-deps", "stubs/cmake", "build/dev/bin/zeph-host"):
            Path(d, path).write_text(f'#!/bin/sh\necho "{os.path.basename(path)} $*" >>{said}\n')
            os.chmod(os.path.join(d, path), 0o755)
        p = subprocess.run(["bash", os.path.join(d, "tools", "run-bench"), "w/take.zs", "--json"],
                           env={**os.environ, "PATH": os.path.join(d, "stubs") + ":" +
                                os.environ["PATH"]}, capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        lines = Path(said).read_text().splitlines()
        # No browser, Wine or fuzzing lists: a fresh machine's run waits for none of them.
        self.assertEqual(lines[0], "install-deps base bench serve")
        self.assertEqual(lines[-1], "zeph-host run build/dev/bin/Ostrel.so w/take.zs --json")
        self.assertIn("cmake --build --preset dev --target zeph-host Ostrel", lines)

class Presets(unittest.TestCase):
    """Every test runs in some stage: the native stage's dev preset runs them all, and a stage's
    preset leaves out only tests that run no code of its build."""

    def test_only_tests_without_code_of_the_build_are_left_out(self):
        presets = {p["name"]: p for p in json.loads((ROOT / "CMakePresets.json").read_text())["testPresets"]}
        tests = (ROOT / "tests" / "CMakeLists.txt").read_text()
        for name, left_out in (("dev", None),
                               # Python alone (tools/mutate, these stages): dev runs them.
                               ("asan", "^tools$")):
            with self.subTest(preset=name):
                exclude = presets[name].get("filter", {}).get("exclude", {})
                self.assertEqual(exclude.get("label"), left_out)
                self.assertEqual(set(exclude) - {"label"}, set())
                if left_out:
                    labelled = re.findall(r"set_tests_properties\((\S+) PROPERTIES LABELS tools\)", tests)
                    self.assertGreater(len(labelled), 0)
                    for test in labelled:
                        self.assertRegex(tests, r"add_test\(NAME %s COMMAND Python3::Interpreter \S+\.py\)"
                                         % re.escape(test))
        self.assertIn("cmake --workflow --preset dev\n", (ROOT / "tools/ci/10-native.sh").read_text())


class LeftRunning(unittest.TestCase):
    def test_only_the_stages_own_processes_are_listed(self):
        with tempfile.TemporaryDirectory() as d:
            # Two processes named as Wine's are: one the stage started, one another's.
            wine = os.path.join(d, "wineserver")
            os.symlink(subprocess.run(["sh", "-c", "command -v sleep"], capture_output=True,
                                      text=True).stdout.strip(), wine)
            ours = subprocess.Popen([wine, "30"], env=dict(os.environ, ZEPH_CI_RUN="stage.1"))
            theirs = subprocess.Popen([wine, "30"], env=dict(os.environ, ZEPH_CI_RUN="stage.12"))
            try:
                time.sleep(0.2)
                left = subprocess.run([str(ROOT / "tools" / "ci" / "left-running"), "stage.1",
                                       "wine|qemu-i386"], capture_output=True, text=True,
                                      check=True).stdout
                self.assertEqual(left, "%d wineserver\n" % ours.pid)
                none = subprocess.run([str(ROOT / "tools" / "ci" / "left-running"), "stage.1",
                                       "qemu-i386"], capture_output=True, text=True,
                                      check=True).stdout
                self.assertEqual(none, "")
            finally:
                for p in (ours, theirs):
                    p.kill()
                    p.wait()


class FuzzWhileGrowing(unittest.TestCase):
    """The fuzz stage's runner stops a target whose coverage is flat, and never hides a finding."""

    def run_fake(self, body, *limits):
        with tempfile.TemporaryDirectory() as d:
            fake = os.path.join(d, "fake_fuzz")
            # A stand-in for a libFuzzer target: it reports on stderr, as libFuzzer does.
            Path(fake).write_text("#!/usr/bin/env bash\n" + body)
            os.chmod(fake, 0o755)
            log = os.path.join(d, "log")
            start = time.monotonic()
            p = subprocess.run([str(ROOT / "tools" / "ci" / "fuzz-while-growing"), *limits, log, "--",
                                fake], capture_output=True, text=True, timeout=60)
            return p, time.monotonic() - start, Path(log).read_text()

    def test_a_target_flat_for_the_given_time_is_stopped_early_and_passes(self):
        # New edges for two seconds, then new inputs that add features only; SIGUSR1 ends it as
        # libFuzzer ends. Flat for one second ends it, not before the last new edge.
        p, took, log = self.run_fake(
            "trap 'echo interrupted >&2; exit 0' USR1\n"
            "for i in $(seq 10); do printf '#%s\\tNEW    cov: %s\\n' $i $i >&2; sleep 0.2; done\n"
            "while :; do printf '#99\\tNEW    cov: 10 ft: 7\\n' >&2; sleep 0.1; done\n",
            "--flat", "1", "--max", "30")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertLess(took, 10)
        self.assertIn("coverage was flat", p.stdout)
        self.assertIn("#10\tNEW", log)
        self.assertIn("interrupted", log)

    def test_a_finding_fails_whatever_the_coverage_did(self):
        for body in ("printf '#1\\tNEW cov: 1\\n' >&2; echo 'ERROR: deadly signal' >&2; exit 1\n",
                     # Found while being stopped: still a finding.
                     "trap 'echo ERROR: leak >&2; exit 1' USR1\nwhile :; do sleep 0.1; done\n"):
            with self.subTest(body=body):
                p, _, log = self.run_fake(body, "--flat", "1", "--max", "30")
                self.assertEqual(p.returncode, 1, p.stdout)
                self.assertIn("it failed", p.stdout)
                self.assertIn("ERROR", log)

    def test_an_exit_stalled_after_our_stop_is_no_finding_but_a_report_in_it_is(self):
        stalled = ("echo 'INFO: signal received, trying to exit gracefully' >&2; "
                   "echo 'ALARM: working on the last Unit for 15 seconds' >&2; ")
        for report, passes in (("exit 70", True),
                               ("echo '==1==ERROR: LeakSanitizer: detected leaks' >&2; exit 70", False),
                               # A slow unit before the interrupt was handled: a finding.
                               ("", False)):
            with self.subTest(report=report):
                body = stalled + report if report else (
                    "echo 'ALARM: working on the last Unit for 15 seconds' >&2; exit 70")
                p, _, _ = self.run_fake("trap \"" + body.replace('"', '\\"') + "\" USR1\n"
                                        "while :; do sleep 0.1; done\n", "--flat", "1", "--max", "30")
                self.assertEqual(p.returncode == 0, passes, p.stdout + p.stderr)
                self.assertIn("coverage was flat" if passes else "it failed", p.stdout)

    def test_the_maximum_time_reaches_the_target(self):
        p, _, log = self.run_fake('echo "args: $*" >&2\n', "--flat", "5", "--max", "7")
        self.assertEqual(p.returncode, 0)
        self.assertIn("-max_total_time=7", log)


class FuzzStage(unittest.TestCase):
    """A target's memory limits (its .limits file) hold while it fuzzes, not only over its seeds; the
    largest targets start first."""

    def run_stage(self, files):
        """Runs the stage on a tree of FILES (path: text) whose targets are built already (cmake
        only says so). Returns the finished process and the tree."""
        if subprocess.run(["bash", "-c", "command -v clang++-14 && compgen -G "
                           "'/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'"],
                          capture_output=True).returncode:
            self.skipTest("no clang-14 libFuzzer here: the stage skips itself")
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        for path, text in dict(files, **{"build/asan/CMakeCache.txt": "", "bin/cmake": "#!/bin/sh\n"}).items():
            os.makedirs(os.path.dirname(os.path.join(d, path)), exist_ok=True)
            Path(d, path).write_text(text)
            os.chmod(os.path.join(d, path), 0o755)
        os.makedirs(os.path.join(d, "tools", "ci"))
        os.symlink(ROOT / "tools" / "ci" / "fuzz-while-growing",
                   os.path.join(d, "tools", "ci", "fuzz-while-growing"))
        p = subprocess.run(["bash", str(ROOT / "tools" / "ci" / "50-fuzz.sh")], cwd=d,
                           env=dict(os.environ, PATH=os.path.join(d, "bin") + os.pathsep +
                                    os.environ["PATH"], ZEPH_FUZZ_SECONDS="2",
                                    ZEPH_FUZZ_FLAT_SECONDS="1"),
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return p, d

    def test_the_limits_reach_every_run_of_a_target(self):
        # The target notes its flags.
        _, d = self.run_stage({"fuzz/CMakeLists.txt": "zeph_add_fuzzer(probe_fuzz probe.cpp)\n",
                               "fuzz/probe_fuzz.limits": "# tight\n-rss_limit_mb=99 -malloc_limit_mb=7\n",
                               "build/asan/bin/probe_fuzz": '#!/bin/sh\necho "flags: $*" >&2\n'})
        runs = Path(d, "build/asan/fuzz-runs")
        for log in ("probe_fuzz.seeds.log", "probe_fuzz.log"):
            flags = (runs / log).read_text()
            self.assertRegex(flags, r"-rss_limit_mb=99 -malloc_limit_mb=7(?!.*_limit_mb)", log)

    def test_the_largest_targets_start_first_whatever_their_order_in_the_list(self):
        # Two run at once: of three, the smallest starts last, once one of the others is done.
        files = {"fuzz/CMakeLists.txt": "".join("zeph_add_fuzzer(%s_fuzz %s.cpp)\n" % (n, n)
                                                for n in ("small", "large", "middle"))}
        for name, size in (("small", 1), ("large", 3000), ("middle", 2000)):
            files["build/asan/bin/%s_fuzz" % name] = (
                '#!/bin/sh\necho %s >>"$(dirname "$0")/../started"\nsleep 0.3\n# %s\n'
                % (name, "x" * size))
        _, d = self.run_stage(files)
        started = Path(d, "build/asan/started").read_text().split()
        self.assertEqual(started[-2:], ["small", "small"], started)  # its seeds, then its run
        self.assertEqual(sorted(started[:2]), ["large", "middle"], started)


class ClangTidyStage(unittest.TestCase):
    """Every C++ file of ours in the database is checked, once however many targets compile it; tests,
    fuzz targets and others' code are not; a finding fails the stage."""

    def run_stage(self, finding="", again=False):
        """Runs the stage in a new tree, or again=True: once more in the last one, as it is."""
        if again:
            return self.stage(self.d)
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        db = os.path.join(d, "build", "asan-tidy")
        sources = ["platform/a.cpp", "host/h.cpp", "bench/b.cpp", "bench/b.cpp", "tools/zeph_host/main.cpp",
                   "build/asan-tidy/bench/serve/page.cpp", "tests/t.cpp", "fuzz/f_fuzz.cpp",
                   "/usr/include/other.cpp"]
        entries = [{"directory": db, "file": f if f.startswith("/") else os.path.join(d, f),
                    "command": "clang++-14 -c " + f} for f in sources]
        for path, text in (("bin/cmake", '#!/bin/sh\n[ "$3" = "-B" ] && mkdir -p "$4" && '
                            'cp "%s/db.json" "$4/compile_commands.json"\n' % d),
                           # Preprocesses: prints the file it compiles.
                           ("bin/clang++-14", '#!/bin/sh\nwhile [ $# -gt 0 ]; do [ "$1" != -c ] || '
                            'cat "%s/$2"; shift; done\n' % d),
                           # Notes each file it is given (the last argument), and its analyzer
                           # mode; finds something in one.
                           ("bin/clang-tidy-14", '#!/bin/sh\nfor f; do :; done\necho "$f" >>"%s/checked"\n'
                            'case "$*" in *mode=shallow*) echo "$f" >>"%s/shallow";; esac\n'
                            'case "$f" in *%s) echo "$f:1:1: warning: planted"; exit 1;; esac\n'
                            % (d, d, finding or "nothing")),
                           ("db.json", json.dumps(entries))):
            os.makedirs(os.path.dirname(os.path.join(d, path)), exist_ok=True)
            Path(d, path).write_text(text)
            os.chmod(os.path.join(d, path), 0o755)
        for f in sources[:-1]:
            os.makedirs(os.path.dirname(os.path.join(d, f)), exist_ok=True)
            Path(d, f).write_text("int x;\n")
        # The CLI's main includes a library: it goes first.
        Path(d, "tools/zeph_host/main.cpp").write_text("#include <CLI/CLI.hpp>\nint x;\n")
        self.d = d
        return self.stage(d)

    def stage(self, d):
        Path(d, "checked").unlink(missing_ok=True)
        p = subprocess.run(["bash", str(ROOT / "tools" / "ci" / "70-clang-tidy.sh")], cwd=d,
                           env=dict(os.environ, PATH=os.path.join(d, "bin") + os.pathsep +
                                    os.environ["PATH"], ZEPH_TIDY_CACHE=os.path.join(d, "cache")),
                           capture_output=True, text=True, timeout=60)
        checked = Path(d, "checked").read_text().split() if Path(d, "checked").exists() else []
        return p, sorted(os.path.relpath(f, d) for f in checked)

    def test_each_file_of_ours_once(self):
        p, checked = self.run_stage()
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(checked, ["bench/b.cpp", "build/asan-tidy/bench/serve/page.cpp",
                                   "host/h.cpp", "platform/a.cpp", "tools/zeph_host/main.cpp"])

    def test_the_bench_and_the_tools_are_analysed_shallow_and_the_rest_deep(self):
        p, _ = self.run_stage()
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        shallow = Path(self.d, "shallow").read_text().split()
        # The heaviest first: with two at a time, among the first two to reach clang-tidy.
        self.assertIn(os.path.join(self.d, "tools/zeph_host/main.cpp"), shallow[:2])
        self.assertEqual(sorted(os.path.relpath(f, self.d) for f in shallow),
                         ["bench/b.cpp", "build/asan-tidy/bench/serve/page.cpp", "tools/zeph_host/main.cpp"])

    def test_a_finding_fails_the_stage(self):
        p, checked = self.run_stage(finding="bench/b.cpp")
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        self.assertIn("warning: planted", p.stdout)
        self.assertEqual(len(checked), 5)

    def test_a_pass_is_not_checked_again_and_a_finding_always_is(self):
        p, _ = self.run_stage(finding="bench/b.cpp")
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        p, checked = self.run_stage(again=True)
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        self.assertEqual(checked, ["bench/b.cpp"])
        # A file whose preprocessed text changes is checked again.
        Path(self.d, "platform/a.cpp").write_text("int y;\n")
        p, checked = self.run_stage(again=True)
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        self.assertEqual(checked, ["bench/b.cpp", "platform/a.cpp"])


if __name__ == "__main__":
    unittest.main()
