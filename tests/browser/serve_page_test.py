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
import statistics
import subprocess
import sys
import time
import urllib.request

from page_harness import Failed, attr, click, run_page_test, start_server, stop_server, tile, wait


def transcript(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#transcript li')].map(li => [li.dataset.kind, li.textContent]);")


def fill(driver, selector, text):
    from selenium.webdriver.common.by import By
    field = driver.find_element(By.CSS_SELECTOR, selector)
    field.clear()
    field.send_keys(text)
    return field


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
    await call('/api/parent', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"text":"clear=1"}' });
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
    # A client of its own, sending the token from the address's fragment as the page does.
    base, _, token = url.partition("#token=")
    opener = urllib.request.build_opener()
    opener.addheaders = [("X-Zeph-Token", token)]
    page = opener.open(base).read()
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zeph-host", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--measure", action="store_true")
    args = parser.parse_args()

    def test(page):
        url = page.serve(args.zeph_host, args.module)
        take_by_hand(page.driver, url, args.screenshot)
        download_and_replay(page.driver, page.downloads, args.zeph_host, args.module)
        two_panels(page.driver, args.zeph_host, args.module, page.work)
        if args.measure:
            measure(page.driver, url, page.server)

    return run_page_test("zeph_serve_page_", test,
                         "the page drove the take, its scenario replays green, two panels stay apart")


if __name__ == "__main__":
    sys.exit(main())
