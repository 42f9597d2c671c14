#!/usr/bin/python3
"""A trace on the serve page in a real, headless Chromium: the module's take written by run --trace,
opened with serve --trace; the slider steps the panel call by call and the UMD changes at the
revertive's command, and the downloaded scenario replays green.

Exit 0 passed, 1 failed, 77 skipped (no browser, driver or selenium here). Everything started here
is stopped before it exits.

  trace_page_test.py --zeph-host BIN --module Ostrel.so [--screenshot PNG]
"""
import argparse
import json
import os
import subprocess
import sys

from page_harness import Failed, attr, click, run_page_test, tile, wait


def traced_take(zeph_host, module, work):
    """The take played with --trace, and its calls as trace show --json lists them."""
    path = os.path.join(work, "take.zephtrace")
    run = subprocess.run([zeph_host, "run", "--quiet", module, "--trace", path],
                         capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        raise Failed("the traced take failed:\n" + run.stdout + run.stderr)
    shown = subprocess.run([zeph_host, "trace", "show", "--json", path], capture_output=True, text=True,
                           timeout=60, check=True)
    return path, [json.loads(line) for line in shown.stdout.splitlines()[1:]]


def revertive_and_its_command(calls):
    """The command that put Camera 1 on the UMD, and the revertive it was made in."""
    command = next(i for i, c in enumerate(calls) if c["what"] == "TP 'text=Camera 1' '1' 'UMD'")
    revertive = max(i for i in range(command) if calls[i]["depth"] == 0)
    if not calls[revertive]["what"].startswith("revertive 5 40 "):
        raise Failed("the UMD was set inside %r, not a revertive" % calls[revertive]["what"])
    return revertive, command


def at(driver, call):
    wait(driver, "the page to stand at call %d" % call,
         lambda: driver.find_element("tag name", "body").get_attribute("data-call") == str(call))


def step_through(driver, calls, screenshot):
    from selenium.webdriver.common.keys import Keys
    revertive, command = revertive_and_its_command(calls)
    wait(driver, "the whole session", lambda: driver.find_element("id", "moment").get_attribute("max") == str(len(calls) - 1))
    at(driver, len(calls) - 1)
    slider = driver.find_element("id", "moment")
    slider.send_keys(Keys.HOME)
    at(driver, 0)
    if attr(driver, "UMD", "data-control") is not None:
        raise Failed("the UMD is on the panel before the component was even loaded")
    slider.send_keys(Keys.ARROW_RIGHT * revertive)
    at(driver, revertive)
    now = driver.find_element("id", "now").text
    if not now.startswith("=> revertive 5 40 Camera 1"):
        raise Failed("the moment at the revertive reads %r" % now)
    for call in range(revertive, command + 1):
        if call > revertive:
            slider.send_keys(Keys.ARROW_RIGHT)
            at(driver, call)
        umd = attr(driver, "UMD", "data-text")
        if umd != ("Camera 1" if call == command else "Black"):
            raise Failed("after call %d (%s) the UMD reads %r" % (call, calls[call]["what"], umd))
    if screenshot:
        driver.save_screenshot(screenshot)
    if tile(driver, "UMD").find_element("css selector", ".tally").text != "Camera 1":
        raise Failed("the UMD tile does not show Camera 1")
    if tile(driver, "StateIndicate").tag_name.lower() == "button":
        raise Failed("a tile of the trace can be pressed")
    click(driver, "#previous-step")
    at(driver, revertive)
    slider.send_keys(Keys.ARROW_LEFT)
    at(driver, revertive - 1)
    if attr(driver, "UMD", "data-text") != "Black":
        raise Failed("back before the revertive the UMD reads %r" % attr(driver, "UMD", "data-text"))


def download_and_replay(driver, downloads, zeph_host, module):
    click(driver, "#download")
    path = os.path.join(downloads, "take.zs")
    wait(driver, "the scenario to download", lambda: os.path.exists(path) and not any(
        f.endswith(".crdownload") for f in os.listdir(downloads)), 20)
    text = open(path, encoding="utf-8").read()
    if "revertive 5 40 \"Camera 1\"" not in text and "revertive 5 40 Camera 1" not in text:
        raise Failed("the downloaded scenario does not deliver the revertive:\n" + text)
    run = subprocess.run([zeph_host, "run", "--quiet", module, path], capture_output=True, text=True, timeout=60)
    if run.returncode != 0 or "PASSED" not in run.stdout:
        raise Failed("the downloaded scenario does not replay green:\n" + run.stdout + run.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zeph-host", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()

    def test(page):
        trace, calls = traced_take(args.zeph_host, args.module, page.work)
        url = page.serve(args.zeph_host, "--trace", trace)
        page.driver.get(url)
        step_through(page.driver, calls, args.screenshot)
        download_and_replay(page.driver, page.downloads, args.zeph_host, args.module)

    return run_page_test("zeph_trace_page_", test,
                         "the slider showed the UMD change at the revertive, and the scenario replays green")


if __name__ == "__main__":
    sys.exit(main())
