#!/usr/bin/env python3
"""zeph-host serve on a Windows DLL through the bridge: the page's actions reach the DLL, the
session's recording holds its commands, and Ctrl-C ends the bench with nothing left running.

    serve_on_dll.py ZEPH-HOST DLL
Exit 77 (skipped) where the DLL is not built or Wine cannot run here."""
import json
import os
import signal
import subprocess
import sys
import time
import urllib.request

host, dll = sys.argv[1], sys.argv[2]
if not os.path.isfile(dll):
    print(f"SKIPPED: {dll} is not built")
    sys.exit(77)
if subprocess.run([os.path.join(os.path.dirname(host), "zeph-wine-run"), "--mode"],
                  capture_output=True).returncode != 0:
    print("SKIPPED: Wine cannot run here")
    sys.exit(77)

serve = subprocess.Popen([host, "serve", dll, "--port", "0"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
try:
    address = None
    for line in serve.stdout:
        print(line, end="")
        if line.startswith("serving "):
            address = line.split()[1]
            break
    assert address, "serve never said where it serves"
    # The printed address carries the session's token in its fragment; the page sends it in a header.
    base, _, token = address.partition("#token=")
    base = base.rstrip("/")
    opener = urllib.request.build_opener()
    opener.addheaders = [("X-Zeph-Token", token)]

    def post(path, body):
        req = urllib.request.Request(base + path, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
        with opener.open(req, timeout=30) as r:
            return json.loads(r.read())

    post("/api/press", {"panel": "1", "control": "Tarnel"})
    assert post("/api/parent", {"text": "sourceID=7"})["answer"] is None
    with opener.open(base + "/api/scenario", timeout=30) as r:
        recording = r.read().decode()
    for line in ["expect TP 'statesheet=on' '1' 'StateIndicate'", "expect RN 201 0 7",
                 "expect RC 5 12 40 ',' 0", "expect ET 2 250"]:
        assert line in recording, f"not in the recording: {line}\n{recording}"
finally:
    serve.send_signal(signal.SIGINT)
    try:
        rest, _ = serve.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        serve.kill()
        rest, _ = serve.communicate()
    print(rest, end="")
assert serve.returncode == 0, f"serve ended with {serve.returncode}"
time.sleep(0.5)
left = subprocess.run(["pgrep", "-f", "zeph-bridge.exe " + dll], capture_output=True, text=True)
assert not left.stdout.strip(), f"left running: {left.stdout}"
print("ok: serve on the DLL: the take by hand recorded, stopped cleanly, nothing left")
