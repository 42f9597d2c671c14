#!/usr/bin/python3
"""A trace larger than a moment's play on the serve page, in a real, headless Chromium: the page
opens on the last call while the play is still on it and says how far the play is, then, asking
again by itself, draws the facility's panel there once the play has passed it.

Exit 0 passed, 1 failed, 77 skipped (no browser, driver or selenium here). Everything started here
is stopped before it exits.

  trace_playing_test.py --zeph-host BIN --module Ostrel.so   (the module is unused)
"""
import argparse
import os
import subprocess
import sys

from page_harness import Failed, attr, run_page_test, wait

MAKE_TRACE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli", "fixtures", "make_trace.py")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zeph-host", required=True)
    parser.add_argument("--module")
    args = parser.parse_args()

    def test(page):
        # About 360,000 calls: 7 s of play or more in any build, where the page opens in one or
        # two. (A quarter of it played in under 2 s in the sanitizers' build, and then the page
        # could open on a play already over.)
        trace = os.path.join(page.work, "session.zt")
        subprocess.run([sys.executable, MAKE_TRACE, "session", "32", trace], check=True, timeout=60)
        url = page.serve(args.zeph_host, "--trace", trace)
        page.driver.get(url)
        d = page.driver
        wait(d, "the page to say the play is on", lambda: not d.find_element("id", "playing").get_attribute("hidden")
             and d.find_element("id", "playing").text.startswith("playing the trace: "), 120)
        last = d.find_element("id", "moment").get_attribute("max")
        if d.find_element("tag name", "body").get_attribute("data-call") is not None:
            raise Failed("a moment not played yet stands as drawn")
        wait(d, "the last call drawn once played", lambda: d.find_element("tag name", "body").get_attribute("data-call") == last, 200)
        if d.find_element("id", "playing").get_attribute("hidden") is None:
            raise Failed("the page still says the play is on once it has drawn the moment")
        if attr(d, "UMD0", "data-text") is None:
            raise Failed("the played moment draws no UMD0 of the facility's panel")

    return run_page_test("zeph_trace_playing_", test,
                         "the page said the play was on, then drew the last call once played")


if __name__ == "__main__":
    sys.exit(main())
