"""The station's page in headless Chromium, driven over the DevTools
protocol on a pipe (no packages beyond Python and Chromium). Four slots
appear as tiles in order; one goes green with "success", one red with a
mute terminal's "reply-timeout", in colour and in words; a serial number
holding markup is shown as text and runs nothing; a screenshot is kept.
The server is vantrel-web-demo, animated step by step."""
import argparse
import base64
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from webdemo import Demo, slot, station

HOSTILE = '<img src=x onerror="window.__pwned=1;document.title=\'PWNED\'">"\'\x1b[31m'


class Browser:
    """Chromium with --remote-debugging-pipe: commands go to its fd 3,
    answers and events come from its fd 4, each a JSON text ended by NUL."""

    def __init__(self, exe, profile):
        to_r, self.to_w = os.pipe()
        self.from_r, from_w = os.pipe()

        def fds():
            # Moved out of the way first: either pipe may itself be fd 3 or 4.
            r = fcntl.fcntl(to_r, fcntl.F_DUPFD, 10)
            w = fcntl.fcntl(from_w, fcntl.F_DUPFD, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)

        self.proc = subprocess.Popen(
            [exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
             "--remote-debugging-pipe", f"--user-data-dir={profile}", "--window-size=1280,860", "about:blank"],
            pass_fds=(3, 4, to_r, from_w), preexec_fn=fds, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(profile, "chromium.log"), "wb"))
        os.close(to_r)
        os.close(from_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def _read(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("Chromium did not answer")
            import select
            r, _, _ = select.select([self.from_r], [], [], 0.2)
            if r:
                chunk = os.read(self.from_r, 65536)
                if not chunk:
                    raise RuntimeError("Chromium closed its pipe")
                self.buffer += chunk
        msg, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, params=None, session=None, timeout=20):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.to_w, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            self.events.append(answer)

    def page(self, method, params=None, timeout=20):
        return self.call(method, params, session=self.session, timeout=timeout)

    def js(self, expression):
        r = self.page("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expression}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def wait_for(self, expression, what, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.js(expression):
                return
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}: {expression}")

    def open_page(self, url):
        """Loads the station's page at the size of the screenshots and
        waits until its event stream is open."""
        self.page("Runtime.enable")
        self.page("Page.enable")
        self.page("Emulation.setDeviceMetricsOverride",
                  {"width": 1280, "height": 860, "deviceScaleFactor": 1, "mobile": False})
        self.page("Page.navigate", {"url": url})
        self.wait_for("document.getElementById('link') && document.getElementById('link').textContent === 'live'",
                      "the event stream")

    def save_screenshot(self, path):
        """Writes the page as a PNG to path; returns its size in bytes."""
        shot = self.page("Page.captureScreenshot", {"format": "png"})
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        return os.path.getsize(path)

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)


TILES = "Array.from(document.querySelectorAll('#tiles .tile'))"


def tile(key, what):
    return f"(() => {{ const t = {TILES}.find(t => t.dataset.key === {json.dumps(key)}); return t ? {what} : null; }})()"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--demo", required=True)
    ap.add_argument("--chromium", default="")
    ap.add_argument("--screenshot", required=True)
    a = ap.parse_args()
    if not a.chromium:
        print("SKIPPED: no chromium (Debian package chromium)")
        return 77
    checks = []

    def check(ok, what):
        checks.append((bool(ok), what))
        print(("ok   " if ok else "FAIL ") + what)

    profile = tempfile.mkdtemp(prefix="vantrel-page-")
    demo = Demo(a.demo)
    browser = None
    try:
        demo.publish(station([]))
        browser = Browser(a.chromium, profile)
        browser.open_page(demo.url + "/")
        check(browser.js("!document.getElementById('empty').hidden"), "no slot yet: the page says so")

        # Four terminals plugged in; B1's serial number is hostile.
        slots = [slot("A1", location="1-1.1", port="ttyACM0", serial="VT-20931", state="waiting"),
                 slot("A2", location="1-1.2", port="ttyACM1", serial="VT-20932", state="waiting"),
                 slot("B1", location="1-1.3", port="ttyACM2", serial=HOSTILE, state="waiting"),
                 slot("B2", location="1-1.4", port="ttyACM3", serial="VT-20934", state="waiting")]
        demo.publish(station(slots, waiting=4))
        browser.wait_for(f"{TILES}.length === 4", "four tiles")
        check(browser.js(f"{TILES}.map(t => t.dataset.key).join()") == "A1,A2,B1,B2", "tiles in slot order")

        for s in slots:
            s.update(state="running", total=1843200, position=600000, attempt=1, retries=1, elapsed_s=8.0)
        slots[3]["position"] = 1500000
        demo.publish(station(slots, running=4))
        browser.wait_for(tile("B2", "t.querySelector('.fill').style.width === '81.4%'"), "B2's progress bar")
        check(browser.js(tile("A1", "t.querySelector('.state').textContent")) == "RUNNING", "A1 shows RUNNING")
        check(browser.js(tile("A1", "t.querySelector('.attempt').textContent")) == "attempt 1 of 2",
              "the attempt with its retries")

        # A1 ends well; B1 (mute terminal) times out.
        slots[0].update(state="success", result="success", position=1843200, elapsed_s=41.2, successes=1)
        slots[2].update(state="failed", result="reply-timeout", elapsed_s=15.0, failures=1)
        demo.run({"slot": "A1", "result": "success"}, "A1", "success", 41.2)
        demo.run({"slot": "B1", "result": "reply-timeout"}, "B1", "reply-timeout", 15.0)
        demo.publish(station(slots, passed=1, failed=1, running=2, units_per_hour=58.0))
        browser.wait_for(tile("B1", "t.dataset.state === 'failed'") + " && " + tile("A1", "t.dataset.state === 'success'"),
                         "A1 green, B1 red")
        green = browser.js(tile("A1", "getComputedStyle(t.querySelector('.state')).backgroundColor"))
        red = browser.js(tile("B1", "getComputedStyle(t.querySelector('.state')).backgroundColor"))
        check(green == "rgb(31, 157, 76)", f"A1's state is green ({green})")
        check(red == "rgb(211, 48, 47)", f"B1's state is red ({red})")
        check(browser.js(tile("A1", "t.querySelector('.state').textContent")) == "SUCCESS", "A1 says SUCCESS")
        check(browser.js(tile("B1", "t.querySelector('.state').textContent")) == "FAILED", "B1 says FAILED")
        check(browser.js(tile("B1", "t.querySelector('.result').textContent")) == "reply-timeout",
              "B1 shows reply-timeout")
        check(browser.js(tile("B1", "t.querySelector('.counts').textContent")) == "✓ 0  ✗ 1", "B1's counts")
        check(browser.js("document.getElementById('passed').textContent") == "1", "header: 1 passed")
        check(browser.js("document.getElementById('failed').textContent") == "1", "header: 1 failed")
        check(browser.js("document.getElementById('script-sha').textContent") == "3f7a9c01be5d",
              "header: 12 hex digits of the script's SHA-256")
        check(browser.js("document.getElementById('host').textContent") == "line7-station", "header: host name")

        # The hostile serial number is text, and nothing ran.
        time.sleep(0.5)  # room for an image error handler, had one been made
        check(browser.js(tile("B1", "t.querySelector('.serial').textContent")) == "S/N " + HOSTILE,
              "the hostile serial number is shown as text")
        check(browser.js("document.querySelectorAll('#tiles img').length") == 0, "no element made from it")
        check(browser.js("typeof window.__pwned") == "undefined" and browser.js("document.title") != "PWNED",
              "no script ran")
        exceptions = [e for e in browser.events if e.get("method") == "Runtime.exceptionThrown"]
        check(not exceptions, f"no script errors on the page ({len(exceptions)})")

        check(browser.save_screenshot(a.screenshot) > 10000, f"screenshot kept: {a.screenshot}")
    finally:
        if browser:
            browser.close()
        demo.close()
        shutil.rmtree(profile, ignore_errors=True)
    failed = [w for ok, w in checks if not ok]
    print(f"{len(checks) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
