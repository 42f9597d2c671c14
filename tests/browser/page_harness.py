"""What the page tests share: the browser and driver found or the test skipped, zeph-host serve
started and stopped as a person would, a headless Chromium in its own process group, waits and
tiles on the page, and one run that stops everything it started, whatever happens.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

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
        # The address as a user copies it: with the session's token in its fragment.
        m = re.search(r"serving (http://127\.0\.0\.1:\d+/#token=[0-9a-f]+)", line)
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


def click(driver, selector):
    from selenium.webdriver.common.by import By
    driver.find_element(By.CSS_SELECTOR, selector).click()


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


class Page:
    """One page test's world: a work folder with a downloads folder, then the server and the browser."""

    def __init__(self, prefix):
        self.chromium, self.driver_path = find_browser()
        adopt_orphans()
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.downloads = os.path.join(self.work, "downloads")
        os.makedirs(self.downloads)
        self.server = self.driver = self.service = None
        self.serving = "zeph-host serve"

    def serve(self, zeph_host, *args):
        """zeph-host serve ARGS and a browser for it; the address with the session's token."""
        self.serving = " ".join(["zeph-host serve", *args])
        self.server, url = start_server(zeph_host, *args)
        self.driver, self.service = start_browser(self.chromium, self.driver_path,
                                                  os.path.join(self.work, "profile"), self.downloads)
        return url


def run_page_test(prefix, test, passed):
    """Runs test(page), then stops the server with Ctrl-C, which must end it with 0. Prints PASSED or
    FAILED and returns the exit code; everything started is stopped on the way out."""
    page = Page(prefix)
    try:
        test(page)
        code, output = stop_server(page.server)
        page.server = None
        if code != 0:
            raise Failed("%s exited with %s after Ctrl-C:\n%s" % (page.serving, code, output))
        print("PASSED: " + passed)
        return 0
    except Failed as e:
        print("FAILED: " + str(e))
        return 1
    finally:
        clean_up(page.driver, page.service, page.server, page.work)
