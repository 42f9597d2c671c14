#!/usr/bin/python3
"""The serve page in a real, headless Chromium: zeph-host serve on the Ostrel module, the take driven
by hand on the page, what the tiles and the transcript show, the downloaded session replayed green
through zeph-host run, and a control of one name on two panels kept apart.

Exit 0 passed, 1 failed, 77 skipped (no browser, driver or selenium here: CTest reports SKIPPED).
Everything started here (the server, chromedriver and its browser) is stopped before it exits.

  serve_page_test.py --zeph-host BIN --module Ostrel.so [--screenshot PNG] [--measure]
"""
import argparse
import gzip
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(SKIP)


class Failed(Exception):
    pass


def find_browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not chromium:
        skip("no chromium on this machine (tools/install-deps installs it)")
    if not driver:
        skip("no chromedriver on this machine (tools/install-deps installs chromium-driver)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        skip("no selenium for " + sys.executable + " (tools/install-deps installs python3-selenium)")
    return chromium, driver


def start_server(zeph_host, *args):
    server = subprocess.Popen([zeph_host, "serve", *args, "--port", "0"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, start_new_session=True)
    deadline = time.time() + 30
    seen = []
    while time.time() < deadline:
        line = server.stdout.readline()
        if not line:
            break
        seen.append(line)
        # The address as a user copies it: with the session's token.
        m = re.search(r"serving (http://127\.0\.0\.1:\d+/\?token=[0-9a-f]+)", line)
        if m:
            return server, m.group(1)
    stop_process(server)
    raise Failed("zeph-host serve did not start:\n" + "".join(seen))


def stop_process(p, sig=signal.SIGINT):
    if p is None or p.poll() is not None:
        return
    try:
        os.killpg(p.pid, sig)
        p.wait(timeout=10)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        pass
    if p.poll() is None:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()


def kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def stop_server(server):
    """Ctrl-C, as a person would stop it: the exit code and what it printed (a sanitizer's report)."""
    server.send_signal(signal.SIGINT)
    try:
        output, _ = server.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        stop_process(server, signal.SIGKILL)
        return "no exit within 20 s", ""
    return server.returncode, output


def start_browser(chromium, driver_path, profile, downloads):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,900", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    # Its own process group, so that it and the browser it starts can all be stopped by its id.
    service = Service(driver_path, popen_kw={"start_new_session": True})
    try:
        driver = webdriver.Chrome(service=service, options=options)
    except Exception as e:  # the browser cannot start here: not a failure of the page
        if service.process is not None:
            kill_group(service.process.pid)
        skip("chromium does not start here: " + str(e).splitlines()[0])
    try:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    except Exception:
        pass
    return driver, service


def wait(driver, what, condition, seconds=10):
    from selenium.webdriver.support.ui import WebDriverWait
    try:
        return WebDriverWait(driver, seconds).until(lambda d: condition())
    except Exception:
        raise Failed("timed out waiting for " + what)


def tile(driver, control, panel="1"):
    from selenium.webdriver.common.by import By
    return driver.find_element(By.CSS_SELECTOR, '.tile[data-panel="%s"][data-control="%s"]' % (panel, control))


def attr(driver, control, name, panel="1"):
    try:
        return tile(driver, control, panel).get_attribute(name)
    except Exception:
        return None


def transcript(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#transcript li')].map(li => [li.dataset.kind, li.textContent]);")


def fill(driver, selector, text):
    from selenium.webdriver.common.by import By
    field = driver.find_element(By.CSS_SELECTOR, selector)
    field.clear()
    field.send_keys(text)
    return field


def click(driver, selector):
    from selenium.webdriver.common.by import By
    driver.find_element(By.CSS_SELECTOR, selector).click()


def take_by_hand(driver, url, screenshot):
    driver.get(url)
    wait(driver, "the page to go live", lambda: driver.find_element("id", "connection").text == "live")
    wait(driver, "the Tarnel tile", lambda: attr(driver, "Tarnel", "data-control") == "Tarnel")
    # The take the session started from left the UMD on "Camera 1": another panel routes black
    # first, so that the take on the page has something to change.
    fill(driver, "#route-source", "1")
    fill(driver, "#route-dest", "40")
    click(driver, "#route-form button")
    wait(driver, "the UMD to show Black", lambda: attr(driver, "UMD", "data-text") == "Black")
    if attr(driver, "StateIndicate", "data-state") == "on":
        raise Failed("the indicator is on before the press")
    # Drawn as the workout declares them: the button is one, the text and the indicator are not.
    drawn = {c: tile(driver, c).tag_name.lower() for c in ("Tarnel", "UMD", "StateIndicate")}
    if drawn != {"Tarnel": "button", "UMD": "div", "StateIndicate": "div"}:
        raise Failed("the tiles are drawn as %r" % drawn)

    tile(driver, "Tarnel").click()
    wait(driver, "the indicator to turn on", lambda: attr(driver, "StateIndicate", "data-state") == "on")
    label = tile(driver, "StateIndicate").find_element("css selector", ".state").text
    if label.lower() != "on":
        raise Failed("the indicator's label reads %r" % label)
    wait(driver, "clear=1 raised to the parent",
         lambda: "clear=1" in driver.find_element("id", "parent-log").text)

    fill(driver, "#parent-text", "sourceID=7")
    click(driver, "#parent-form button")
    wait(driver, "the UMD to show Camera 1", lambda: attr(driver, "UMD", "data-text") == "Camera 1")
    wait(driver, "the parent's answer", lambda: driver.find_element("id", "parent-answer").text == "answer: none")
    umd = tile(driver, "UMD").find_element("css selector", ".tally").text
    if umd != "Camera 1":
        raise Failed("the UMD tile reads %r" % umd)
    router = driver.find_element("css selector", '#routers [data-router="5"]').text
    if "40 \u2190 12 Camera 1" not in router or "(sdi)" not in router:
        raise Failed("router 5 does not name its routed source and itself:\n" + router)
    lines = transcript(driver)
    step = max(i for i, (kind, text) in enumerate(lines) if kind == "step" and text.endswith("parent sourceID=7"))
    if not any(kind == "command" and "RC 5 12 40 ',' 0" in text for kind, text in lines[step:]):
        raise Failed("no `RC 5 12 40 ',' 0` in the transcript after the page's parent command:\n"
                     + "\n".join(t for _, t in lines[step:]))

    fill(driver, "#advance-ms", "250")
    click(driver, "#advance-form button")
    wait(driver, "setindex=-1 raised to the parent",
         lambda: "setindex=-1" in driver.find_element("id", "parent-log").text)
    if "t = " not in driver.find_element("id", "clock").text:
        raise Failed("the clock is not shown")
    if screenshot:
        driver.save_screenshot(screenshot)

    # A bad step gets its error on the page, and the page goes on.
    fill(driver, "#step-line", "bogus 1")
    click(driver, "#step-form button")
    wait(driver, "the error to show", lambda: "unknown keyword" in driver.find_element("id", "status").text)
    tile(driver, "Tarnel").click()
    wait(driver, "the error to clear", lambda: driver.find_element("id", "status").text == "")


def download_and_replay(driver, downloads, zeph_host, module):
    click(driver, "#download")
    path = os.path.join(downloads, "session.zs")
    wait(driver, "the scenario to download", lambda: os.path.exists(path) and not any(
        f.endswith(".crdownload") for f in os.listdir(downloads)), 20)
    text = open(path, encoding="utf-8").read()
    for step in ("route 5 1 40", "press 1 Tarnel", "parent sourceID=7", "advance 250", "expect RC 5 12 40 ',' 0"):
        if step not in text:
            raise Failed("the downloaded scenario has no %r" % step)
    run = subprocess.run([zeph_host, "run", "--quiet", module, path], capture_output=True, text=True, timeout=60)
    if run.returncode != 0 or "PASSED" not in run.stdout:
        raise Failed("the downloaded scenario does not replay green:\n" + run.stdout + run.stderr)


def two_panels(driver, zeph_host, module, work):
    """A control of the same name on two panels: two tiles, each with its own value, and a click on
    panel 2's presses panel 2's."""
    path = os.path.join(work, "two_panels.zs")
    with open(path, "w", encoding="utf-8") as f:
        f.write("control 1 alm_1 value=1\ncontrol 2 alm_1 value=3\nload\n")
    server, url = start_server(zeph_host, module, path)
    try:
        driver.get(url)
        wait(driver, "the page to go live", lambda: driver.find_element("id", "connection").text == "live")
        wait(driver, "alm_1 on both panels",
             lambda: attr(driver, "alm_1", "data-panel", "1") and attr(driver, "alm_1", "data-panel", "2"))
        for panel, value in (("1", "1"), ("2", "3")):
            shown = tile(driver, "alm_1", panel).find_element("css selector", ".alarm").text
            if not shown.endswith("value " + value):
                raise Failed("panel %s's alm_1 reads %r" % (panel, shown))
        before = len(transcript(driver))
        tile(driver, "alm_1", "2").click()
        wait(driver, "the press on panel 2", lambda: any(
            kind == "step" and text.endswith("press 2 alm_1") for kind, text in transcript(driver)[before:]))
        if any("press 1 alm_1" in text for _, text in transcript(driver)):
            raise Failed("a press went to panel 1's alm_1")
    finally:
        code, output = stop_server(server)
    if code != 0:
        raise Failed("zeph-host serve exited with %s after Ctrl-C:\n%s" % (code, output))


LATENCY_SCRIPT = """
const done = arguments[arguments.length - 1];
const tile = (id) => document.querySelector('.tile[data-panel="1"][data-control="' + id + '"]');
const until = (test) => new Promise((resolve) => {
  if (test()) return resolve();
  const o = new MutationObserver(() => { if (test()) { o.disconnect(); resolve(); } });
  o.observe(document.getElementById('panels'), { subtree: true, childList: true, attributes: true });
});
(async () => {
  const times = [];
  for (let i = 0; i < arguments[0]; i++) {
    await fetch('/api/parent', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"text":"clear=1"}' });
    await until(() => tile('StateIndicate').dataset.state !== 'on');
    const t0 = performance.now();
    tile('Tarnel').click();
    await until(() => tile('StateIndicate').dataset.state === 'on');
    times.push(performance.now() - t0);
  }
  done(times);
})();
"""


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f if ":" in line)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def measure(driver, url, server):
    driver.set_script_timeout(120)
    times = driver.execute_async_script(LATENCY_SCRIPT, 100)
    # A client of its own: the printed address hands it the token's cookie, as it does a browser.
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor())
    page = opener.open(url).read()
    base = url.split("?")[0]
    request = urllib.request.Request(base, headers={"Accept-Encoding": "gzip"})
    with opener.open(request) as r:
        wire = r.read()
        encoding = r.headers.get("Content-Encoding", "identity")
    if encoding == "gzip":
        gzip.decompress(wire)
    before = rss_kib(server.pid)
    actions = [("/api/press", {"panel": "1", "control": "Tarnel"}), ("/api/parent", {"text": "sourceID=7"}),
               ("/api/advance", {"ms": 250}), ("/api/parent", {"text": "clear=1"})]
    started = time.time()
    for i in range(10000):
        path, body = actions[i % len(actions)]
        req = urllib.request.Request(base.rstrip("/") + path, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
        opener.open(req).read()
    seconds = time.time() - started
    after = rss_kib(server.pid)
    print("click to updated tile: median %.1f ms, min %.1f, max %.1f over %d presses"
          % (statistics.median(times), min(times), max(times), len(times)))
    print("page: %d bytes, %d on the wire (%s)" % (len(page), len(wire), encoding))
    print("serve session: resident %d KiB before, %d KiB after 10,000 actions (peak %d KiB); %.1f s, %.2f ms an action"
          % (before[0], after[0], after[1], seconds, seconds * 1000 / 10000))


def adopt_orphans():
    """Browser helpers that outlive their parent become ours (not init's), so that they are reaped."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def reap():
    deadline = time.time() + 5
    while time.time() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(0.05)


def clean_up(driver, service, server, work):
    """Ends the browser, its driver and the bench, whatever state the test left them in."""
    if driver is not None:
        try:
            driver.quit()
        except Exception:
            pass
    if service is not None and service.process is not None:
        # Whatever chromedriver started and quit() left behind is in its group.
        kill_group(service.process.pid)
        service.process.poll()
    stop_process(server)
    reap()
    shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zeph-host", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--measure", action="store_true")
    args = parser.parse_args()
    chromium, driver_path = find_browser()
    adopt_orphans()

    work = tempfile.mkdtemp(prefix="zeph_serve_page_")
    downloads = os.path.join(work, "downloads")
    os.makedirs(downloads)
    server = driver = service = None
    try:
        server, url = start_server(args.zeph_host, args.module)
        driver, service = start_browser(chromium, driver_path, os.path.join(work, "profile"), downloads)
        take_by_hand(driver, url, args.screenshot)
        download_and_replay(driver, downloads, args.zeph_host, args.module)
        two_panels(driver, args.zeph_host, args.module, work)
        if args.measure:
            measure(driver, url, server)
        code, output = stop_server(server)
        server = None
        if code != 0:
            raise Failed("zeph-host serve exited with %s after Ctrl-C:\n%s" % (code, output))
        print("PASSED: the page drove the take, its scenario replays green, two panels stay apart")
        return 0
    except Failed as e:
        print("FAILED: " + str(e))
        return 1
    finally:
        clean_up(driver, service, server, work)


if __name__ == "__main__":
    sys.exit(main())
