#!/usr/bin/python3
"""Two serve sessions in one browser, in a real, headless Chromium: Ostrel's and the test
component's, each on a free port of its own, each opened in a tab of the same profile. A browser
keeps cookies apart by host, not by port, so each session's cookie must be its own: both tabs keep
answering whichever was opened last, and each session refuses the other's token. On the second, a
property the component sets that the page has no look for (style=on) is drawn on its tile.

Exit 0 passed, 1 failed, 77 skipped (no browser, driver or selenium here).

  two_sessions_test.py --zeph-host BIN --module Ostrel.so
"""
import argparse
import os
import re
import sys

from page_harness import Failed, click, run_page_test, start_server, stop_server, tile, wait

# What the page itself may call: same origin, its cookie, nothing else.
FETCH = """
const done = arguments[arguments.length - 1];
fetch(arguments[0]).then((r) => done(r.status), (e) => done(String(e)));
"""


def live(driver, what):
    driver.refresh()
    body = driver.find_element("tag name", "body").text
    if '"error"' in body:
        raise Failed("%s is locked out: %s" % (what, body[:200]))
    wait(driver, what + " to go live", lambda: driver.find_element("id", "connection").text == "live")


def answers(driver, what):
    status = driver.execute_async_script(FETCH, "/api/state")
    if status != 200:
        raise Failed("%s's own call answers %s" % (what, status))


def refuses(driver, origin, token, what):
    driver.get(origin + "/?token=" + token)
    body = driver.find_element("tag name", "body").text
    if "wrong token" not in body:
        raise Failed("%s took the other session's token: %r" % (what, body[:200]))


def drawn(driver, control, text):
    try:
        return text in tile(driver, control).text
    except Exception:
        return False


def two_tabs(page, zeph_host, module):
    clean = os.path.join(os.path.dirname(module), "test_component_clean.so")
    url_a = page.serve(zeph_host, module)
    driver = page.driver
    second, url_b = start_server(zeph_host, clean)
    try:
        origin_a, token_a = url_a.split("/?token=")
        origin_b, token_b = url_b.split("/?token=")
        driver.get(url_a)
        wait(driver, "Ostrel's tab to go live", lambda: driver.find_element("id", "connection").text == "live")
        tab_a = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get(url_b)
        wait(driver, "the second tab to go live", lambda: driver.find_element("id", "connection").text == "live")
        tab_b = driver.current_window_handle

        # Opening the second must not lock the first out, nor the other way round.
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

        driver.switch_to.window(tab_a)
        refuses(driver, origin_a, token_b, "Ostrel's session")
        driver.switch_to.window(tab_b)
        refuses(driver, origin_b, token_a, "the second session")
        # A refused token takes nothing away: both still answer.
        for tab, origin, what in ((tab_a, origin_a, "Ostrel's tab"), (tab_b, origin_b, "the second tab")):
            driver.switch_to.window(tab)
            driver.get(origin + "/")
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
