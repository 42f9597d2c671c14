#!/usr/bin/python3
"""The serve page of a facility of several instances, in a real, headless Chromium: zeph-host serve
on the monitor wall (three Ostrel monitors and Vigil on the alarm panel). Every panel shows its
tiles under a heading that names its instance, and the router every destination's source; a click
on a tile is a press of the instance whose panel it is, with that instance's own id for the panel;
a panel whose instance is unloaded says so.

Exit 0 passed, 1 failed, 77 skipped (no browser, driver or selenium here).

  facility_page_test.py --zeph-host BIN --module Ostrel.so
"""
import argparse
import os
import sys

from page_harness import Failed, attr, run_page_test, tile, wait

WALL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "panels", "facilities",
                    "monitor_wall.zs")


def lines(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#transcript li')].map(li => li.textContent);")


def heading(driver, panel):
    return driver.find_element("css selector", 'section[data-panel="%s"] h2' % panel).get_attribute("textContent")


def test(page, zeph_host, module):
    url = page.serve(zeph_host, module, WALL)
    d = page.driver
    d.get(url)
    wait(d, "the page to go live", lambda: d.find_element("id", "connection").text == "live")
    for panel, control in (("1", "Tarnel"), ("2", "Tarnel"), ("3", "UMD"), ("9", "alm_2")):
        wait(d, "panel %s's %s tile" % (panel, control),
             lambda: attr(d, control, "data-control", panel) == control)
    for panel, whose in (("1", "@mon1"), ("3", "@mon3 (its panel 1)"), ("9", "@alarms (its panel 1)")):
        if not heading(d, panel).endswith(whose):
            raise Failed("panel %s's heading reads %r, not ...%r" % (panel, heading(d, panel), whose))
    if attr(d, "UMD", "data-text", "3") != "Camera 2" or attr(d, "UMD", "data-text", "1") != "Black":
        raise Failed("the monitors' tallies are not the wall's")

    # Both destinations of the wall's router, each with its source by name.
    router = d.find_element("css selector", '#routers [data-router="5"]').text
    if "40 \u2190 1 Black" not in router or "41 \u2190 13 Camera 2" not in router:
        raise Failed("router 5 does not show every destination's source:\n" + router)

    seen = len(lines(d))
    tile(d, "alm_1", "9").click()
    wait(d, "the press to reach @alarms as its panel 1",
         lambda: any("@alarms press 1 alm_1" in t for t in lines(d)[seen:]))
    wait(d, "alarm=alm_1 raised by @alarms",
         lambda: any("[alarms]" in t and "HN 'alarm=alm_1'" in t for t in lines(d)[seen:]))
    if any("[mon" in t for t in lines(d)[seen:]):
        raise Failed("a monitor heard the alarm panel's press:\n" + "\n".join(lines(d)[seen:]))

    seen = len(lines(d))
    tile(d, "Tarnel", "3").click()
    wait(d, "the press to reach @mon3",
         lambda: any("@mon3 press 1 Tarnel" in t for t in lines(d)[seen:]))

    # mon2 was unloaded by the wall: its panel's press is refused in its name.
    tile(d, "Tarnel", "2").click()
    wait(d, "the refusal for @mon2", lambda: "@mon2 is not loaded" in d.find_element("id", "status").text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zeph-host", required=True)
    ap.add_argument("--module", required=True)
    a = ap.parse_args()
    return run_page_test("zeph-facility-page-", lambda page: test(page, a.zeph_host, a.module),
                         "the wall's panels show their instances' tiles and a press reaches its own")


if __name__ == "__main__":
    sys.exit(main())
