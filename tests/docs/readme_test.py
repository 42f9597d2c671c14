#!/usr/bin/env python3
"""Runs every shell block (```sh) of a README, in order, as its reader would.

    readme_test.py [--only HEADING | --except HEADING] [--keep] README ROOT SCRATCH [NAME=VALUE...]

Each block runs in a shell of its own (bash, -e and pipefail: any line that fails fails the
block) from ROOT, the folder the README's commands are written for, with HOME in SCRATCH (so ~/opt
and ~/beacon land there). A comment just before a block may say how it runs:

    <!-- readme-test: skip — REASON -->          not run; the test prints the reason
    <!-- readme-test: serve — REASON -->         runs until the address it hands the browser
                                                 answers (xdg-open is a stand-in that fetches it),
                                                 then it is stopped
    <!-- readme-test: given `SHELL` [MODE] — REASON -->
                                                 SHELL runs first, in the block's shell: what the
                                                 reader is assumed to have (a file, PATH)

The blocks see README_SCRATCH (SCRATCH/work, an empty folder), README_ROOT and every NAME=VALUE.
tools/install-deps runs with ZEPH_INSTALL_DEPS_CHECK=1: it says what it would install and
installs nothing. --only and --except take the blocks under one heading (and its sub-headings),
or all the others; --keep leaves SCRATCH for a test that goes on from it. Exit 1 when a block
fails.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

FENCE = re.compile(r'^(\s*)```(\w*)\s*$')
MARK = re.compile(r'^\s*<!-- readme-test: (?:given `([^`]*)` ?)?(skip|serve|run)? — (.*) -->\s*$')
SERVE_WAIT = 120  # seconds for a serve block to answer: it may configure and build first


def blocks(path):
    """(line, code, mode, given, reason, headings) of each ```sh block."""
    lines = open(path, encoding='utf-8').read().split('\n')
    found, i, headings = [], 0, []
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            heading = re.match(r'^(#+) (.*)$', lines[i])
            if heading:
                depth = len(heading.group(1))
                headings = [h for h in headings if h[0] < depth] + [(depth, heading.group(2).strip())]
            i += 1
            continue
        indent, lang, start = fence.group(1), fence.group(2), i + 1
        i += 1
        body = []
        while i < len(lines) and not FENCE.match(lines[i]):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
            i += 1
        i += 1
        if lang != 'sh':
            continue
        mode, given, reason = 'run', None, ''
        prev = start - 2
        while prev >= 0 and not lines[prev].strip():
            prev -= 1
        mark = MARK.match(lines[prev]) if prev >= 0 else None
        if mark:
            given, mode, reason = mark.groups()
            mode = mode or 'run'
        elif prev >= 0 and 'readme-test' in lines[prev]:
            sys.exit(f'{path}:{prev + 1}: a readme-test comment this test cannot read: {lines[prev]}')
        found.append((start, '\n'.join(body) + '\n', mode, given, reason,
                      [h[1] for h in headings]))
    return found


def serve(cmd, env, cwd, opened):
    """Starts a serve block, waits for the stand-in browser to fetch its page, stops it."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, start_new_session=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    deadline = time.time() + SERVE_WAIT
    try:
        while time.time() < deadline and not os.path.exists(opened) and proc.poll() is None:
            time.sleep(0.2)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
    out = proc.stdout.read().decode(errors='replace')
    if not os.path.exists(opened):
        return 1, out + '\n(no page answered the address handed to the browser)\n'
    answer = open(opened).read()
    os.remove(opened)
    return (0 if answer.startswith('200') else 1), out + f'\npage: {answer}'


def main():
    args, only, skip_section, keep = sys.argv[1:], None, None, False
    while args and args[0].startswith('--'):
        if args[0] == '--keep':
            keep, args = True, args[1:]
        elif args[0] == '--only':
            only, args = args[1], args[2:]
        elif args[0] == '--except':
            skip_section, args = args[1], args[2:]
        else:
            sys.exit(f'readme_test.py: unknown option {args[0]}')
    readme, root, scratch = (os.path.abspath(a) for a in args[0:3])
    name = os.path.relpath(readme, root) if readme.startswith(root + os.sep) else readme
    extra = dict(a.split('=', 1) for a in args[3:])
    shutil.rmtree(scratch, ignore_errors=True)
    for sub in ('home', 'work', 'stubs'):
        os.makedirs(os.path.join(scratch, sub))
    opened = os.path.join(scratch, 'opened')
    # The browser: fetch the address, write its status.
    stub = os.path.join(scratch, 'stubs', 'xdg-open')
    with open(stub, 'w') as f:
        # --open hands over a private page that redirects to the address; a browser follows it,
        # loads the page, and the page calls the bench with the token of the address's fragment.
        f.write('#!/usr/bin/env python3\nimport os, re, sys\nfrom urllib.request import Request, urlopen\n'
                'target = sys.argv[1]\n'
                'try:\n'
                '    if os.path.isfile(target):\n'
                '        target = re.search(r"url=([^\\"]+)", open(target).read()).group(1)\n'
                '    status = urlopen(target, timeout=10).status\n'
                '    token = target.partition("#token=")[2]\n'
                '    if token:\n'
                '        base = target.partition("#")[0].rstrip("/")\n'
                '        status = urlopen(Request(base + "/api/scenario", headers={"X-Zeph-Token": token}), timeout=10).status\n'
                'except Exception as e:\n'
                '    status = e\n'
                f'open({opened!r} + ".new", "w").write(f"{{status}} {{target}}")\n'
                f'os.rename({opened!r} + ".new", {opened!r})\n')
    os.chmod(stub, 0o755)
    env = dict(os.environ)
    env.update(extra)
    env.update(HOME=os.path.join(scratch, 'home'), README_SCRATCH=os.path.join(scratch, 'work'),
               README_ROOT=root, ZEPH_INSTALL_DEPS_CHECK='1', NO_COLOR='1',
               PATH=os.path.join(scratch, 'stubs') + os.pathsep + os.environ.get('PATH', ''))
    # CTest's own variables would steer a ctest the README runs.
    for var in [v for v in env if v.startswith('CTEST_')]:
        del env[var]

    failed = ran = 0
    for line, code, mode, given, reason, headings in blocks(readme):
        where = f'{name}:{line}'
        if (only and only not in headings) or (skip_section and skip_section in headings):
            continue
        if mode == 'skip':
            print(f'skip {where}: {reason}', flush=True)
            continue
        script = 'set -eo pipefail\n' + (given + '\n' if given else '') + code
        print(f'run  {where}:\n' + ''.join('  | ' + l + '\n' for l in code.rstrip('\n').split('\n')),
              flush=True)
        began = time.time()
        cmd = ['bash', '-c', script]
        if mode == 'serve':
            rc, out = serve(cmd, env, root, opened)
        else:
            done = subprocess.run(cmd, cwd=root, env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            rc, out = done.returncode, done.stdout.decode(errors='replace')
        ran += 1
        if rc != 0:
            failed += 1
            tail = '\n'.join(out.rstrip('\n').split('\n')[-40:])
            print(f'FAIL {where} (exit {rc}, {time.time() - began:.0f} s):\n{tail}', flush=True)
        else:
            answered = ', ' + out.rstrip('\n').split('\n')[-1] if mode == 'serve' else ''
            print(f'ok   {where} ({time.time() - began:.0f} s{answered})', flush=True)
    print(f'{name}: {ran} blocks run, {failed} failed')
    if failed == 0 and not keep:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
