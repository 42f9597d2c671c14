#!/usr/bin/python3
"""Two serve sessions in one browser, in a real, headless Chromium: Ostrel's and the test
component's, each on a free port of its own, each opened in a tab of the same profile, and a hostile
page served on a third port of the same host. Each tab holds its own session's token (from its
address's fragment, never a cookie): both tabs keep answering, each session refuses the other's
token, and the hostile page neither reads, sets, plants nor holds anything that works: no call, no
change, no event stream slot, no lockout. On the second, a property the component sets that the
page has no look for (style=on) is drawn on its tile.

Exit 0 passed, 1 failed, 77 skipped (no browser, driver or selenium here).

  two_sessions_test.py --zeph-host BIN --module Ostrel.so
"""
import argparse
import http.server
import os
import re
import sys
import threading

from page_harness import Failed, click, run_page_test, start_server, stop_server, tile, wait

# What the page itself calls: its own origin, the token in its header (the page's call()).
CALL = """
const done = arguments[arguments.length - 1];
call(arguments[0]).then((r) => done(r.status), (e) => done(String(e)));
"""

# A page of another port on the same host, doing what it can against the session at arguments[0]
# (port arguments[1]): read the cookies, plant its own, read a call, send the token's header, make
# a change and take every event stream slot. What each came to.
HOSTILE = """
const [bench, port, done] = arguments;
(async () => {
  const out = { cookies: document.cookie };
  document.cookie = "zeph_token_" + port + "=planted; path=/api";
  document.cookie = "zeph_token_" + port + "=planted; path=/";
  document.cookie = "zeph_token=planted; path=/events";
  const attempt = async (path, init) => {
    try { const r = await fetch(bench + path, init); return r.type === "opaque" ? "opaque" : r.status; }
    catch (e) { return "blocked"; }
  };
  out.read = await attempt("/api/state", { credentials: "include" });
  out.header = await attempt("/api/state", { headers: { "X-Zeph-Token": "0123" } });
  out.change = await attempt("/api/parent", { method: "POST", mode: "no-cors", credentials: "include",
                                             body: JSON.stringify({ text: "say=TP 'style=hostile' '1' 'X'" }) });
  window.held = [];
  for (let i = 0; i < 20; i++)
    window.held.push(fetch(bench + "/events", { mode: "no-cors", credentials: "include" }).catch(() => 0));
  await Promise.all(window.held);
  done(out);
})();
"""


class Hostile(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<!doctype html><title>another port</title><p>another port's page</p>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def live(driver, what):
    driver.refresh()
    body = driver.find_element("tag name", "body").text
    if '"error"' in body:
        raise Failed("%s is locked out: %s" % (what, body[:200]))
    wait(driver, what + " to go live", lambda: driver.find_element("id", "connection").text == "live")


def answers(driver, what):
    status = driver.execute_async_script(CALL, "/api/state")
    if status != 200:
        raise Failed("%s's own call answers %s" % (what, status))


def open_fresh(driver, url):
    """A load of its own: a change of fragment alone would keep the page, and the token it read."""
    driver.get("about:blank")
    driver.get(url)


def refuses(driver, origin, token, what):
    open_fresh(driver, origin + "/#token=" + token)
    status = driver.execute_async_script(CALL, "/api/state")
    if status != 403:
        raise Failed("%s took the other session's token: %s" % (what, status))


def drawn(driver, control, text):
    try:
        return text in tile(driver, control).text
    except Exception:
        return False


def hostile_page(driver, origin, what):
    """Another port's page against the session at origin; it must get nothing that works."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hostile)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        driver.get("http://127.0.0.1:%d/" % server.server_address[1])
        driver.set_script_timeout(30)
        out = driver.execute_async_script(HOSTILE, origin, origin.rsplit(":", 1)[1])
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
    if "zeph" in out["cookies"]:
        raise Failed("another port's page reads the session's cookie: %r" % out["cookies"])
    if out["read"] != "blocked" or out["header"] != "blocked":
        raise Failed("another port's page reads %s: %r" % (what, out))
    return out


def two_tabs(page, zeph_host, module):
    clean = os.path.join(os.path.dirname(module), "test_component_clean.so")
    url_a = page.serve(zeph_host, module)
    driver = page.driver
    second, url_b = start_server(zeph_host, clean)
    try:
        origin_a, token_a = url_a.split("/#token=")
        origin_b, token_b = url_b.split("/#token=")
        driver.get(url_a)
        wait(driver, "Ostrel's tab to go live", lambda: driver.find_element("id", "connection").text == "live")
        tab_a = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get(url_b)
        wait(driver, "the second tab to go live", lambda: driver.find_element("id", "connection").text == "live")
        tab_b = driver.current_window_handle

        # Opening the second must not lock the first out, nor the other way round; a reload keeps
        # the token (it is in the address).
        for tab, what in ((tab_a, "Ostrel's tab"), (tab_b, "the second tab"), (tab_a, "Ostrel's tab")):
            driver.switch_to.window(tab)
            live(driver, what)
            answers(driver, what)

        # A property with no look of its own is still drawn, and drawn again when it changes.
        driver.switch_to.window(tab_b)
        for value in ("on", "off"):
            field = driver.find_element("id", "parent-text")
            field.clear()
            field.send_keys("say=TP 'style=%s' '1' 'X'" % value)
            click(driver, "#parent-form button")
            wait(driver, "style=%s on X's tile" % value, lambda: drawn(driver, "X", "style=" + value))

        # Another port's page, in a third tab, against the second session; then both tabs open
        # afresh past its planted cookies and its 20 event streams, and its change was not made.
        driver.switch_to.new_window("tab")
        hostile_page(driver, origin_b, "the second session")
        tab_h = driver.current_window_handle
        for tab, url, what in ((tab_b, url_b, "the second tab"), (tab_a, url_a, "Ostrel's tab")):
            driver.switch_to.window(tab)
            open_fresh(driver, url)
            wait(driver, what + " to go live past the other port's page",
                 lambda: driver.find_element("id", "connection").text == "live")
            answers(driver, what)
        driver.switch_to.window(tab_b)
        if drawn(driver, "X", "hostile"):
            raise Failed("another port's page made a change in the second session")
        driver.switch_to.window(tab_h)
        driver.close()

        driver.switch_to.window(tab_a)
        refuses(driver, origin_a, token_b, "Ostrel's session")
        driver.switch_to.window(tab_b)
        refuses(driver, origin_b, token_a, "the second session")
        # A refused token takes nothing away: both still answer.
        for tab, url, what in ((tab_a, url_a, "Ostrel's tab"), (tab_b, url_b, "the second tab")):
            driver.switch_to.window(tab)
            open_fresh(driver, url)
            wait(driver, what + " to go live again",
                 lambda: driver.find_element("id", "connection").text == "live")
            answers(driver, what)
        if not re.match(r"http://127\.0\.0\.1:\d+$", origin_a) or origin_a == origin_b:
            raise Failed("the sessions share an address: %s and %s" % (origin_a, origin_b))
    finally:
        code, output = stop_server(second)
    if code != 0:
        raise Failed("the second zeph-host serve exited with %s after Ctrl-C:\n%s" % (code, output))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--zeph-host", required=True)
    ap.add_argument("--module", required=True)
    args = ap.parse_args()
    return run_page_test("zeph-two-sessions-", lambda page: two_tabs(page, args.zeph_host, args.module),
                         "two sessions in one browser each answer their own tab and refuse the other's token")


if __name__ == "__main__":
    sys.exit(main())
