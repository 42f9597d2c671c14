# The vocabulary of the CLI's contract tables. Each row runs a command as a user types it and
# checks its output with FileCheck and its exit code with `not` (any failure) or `not --crash`.
import os
import sys

import lit.formats

site = lit_config.params.get('site')
if not site:
    lit_config.fatal('run through CTest (cli.NAME), or pass --param site=BUILD/tests/cli/lit.site.cfg.py')
exec(open(site).read())

config.name = 'zeph-host contract'
config.test_format = lit.formats.ShTest(execute_external=False)
config.suffixes = ['.test']
config.test_source_root = os.path.dirname(__file__)
config.excludes = ['fixtures']

# FileCheck, not and count from LLVM's tools; the rest of PATH as the user has it.
config.environment['PATH'] = os.pathsep.join([config.llvm_tools, os.environ.get('PATH', '')])
for var in ('HOME', 'TMPDIR', 'LANG', 'DISPLAY', 'WINEPREFIX', 'ZEPH_WINE'):
    if var in os.environ:
        config.environment[var] = os.environ[var]
# Colour never depends on the terminal that ran CTest.
config.environment['NO_COLOR'] = '1'
# Under the sanitizers the address space is the sanitizer's (terabytes of shadow, reserved): %capped
# bounds the time alone there, and the memory rows hold on the plain builds.
if getattr(config, 'sanitized', False):
    config.environment['ZEPH_CAPPED_TIME_ONLY'] = '1'
    # The tables of large files (*_sizes.test) bound memory above all: they say UNSUPPORTED there.
    config.available_features.add('sanitized')

fixtures = os.path.join(config.test_source_root, 'fixtures')
config.substitutions.extend([
    ('%zeph-host', config.zeph_host),
    ('%modules', config.module_dir),
    ('%clean', os.path.join(config.module_dir, 'test_component_clean.so')),
    ('%ostrel', os.path.join(config.module_dir, 'Ostrel.so')),
    ('%fixtures', fixtures),
    ('%root', config.source_root),
    # The fixtures' own interpreter: the one lit runs under.
    ('%python', sys.executable),
    # Trace files of a shape and size (make_trace.py), and a command bounded by a file's size.
    ('%make-trace', sys.executable + ' ' + os.path.join(fixtures, 'make_trace.py')),
    ('%capped', sys.executable + ' ' + os.path.join(fixtures, 'capped.py')),
    # Traces of one kind of field traffic each, through the trace writer (make_field_trace.cpp).
    ('%field-trace', os.path.join(config.module_dir, 'make_field_trace')),
    # The installed scripts, from the tree (the SDK installs these files under other names).
    ('%new-component', os.path.join(config.source_root, 'tools', 'new-component')),
    ('%install-deps', os.path.join(config.source_root, 'tools', 'install-deps')),
    ('%wine-run', os.path.join(config.source_root, 'tools', 'wine-run')),
    ('%on-dll', os.path.join(config.source_root, 'cmake', 'kit', 'on-dll')),
    # `%status CMD`: runs CMD, then prints `exit N` and succeeds, for a pipe into FileCheck alone.
    ('%status', 'sh -c \'"$0" "$@"; echo "exit $?"\''),
    # `%exit CMD`: runs CMD, then prints `exit N` and exits N, so a row can tell 1 from 2.
    ('%exit', "python3 -c \"import subprocess, sys; c = subprocess.run(sys.argv[1:]).returncode; "
              "print('exit', c); sys.exit(c)\""),
])
# The DLL road's tables (dll_*.test, run by CTest only where Wine and the DLLs are): the Windows
# build's bin folder and the bridge's probe DLL.
config.substitutions.extend([
    ('%windows-bin', getattr(config, 'windows_bin', '')),
    ('%probe-dll', getattr(config, 'probe_dll', '')),
])
