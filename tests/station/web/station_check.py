"""The real vantrel-station's page and API, checked from outside while a
test (tests/station/web_e2e_test.cpp) plugs emulated terminals into it.
The test starts the station with a four-slot map (A1, A2, B1, B2) and
runs this script; once the script is ready to watch it prints "plug", and
the test plugs four terminals in: A1, A2 and B2 succeed, B1 is mute, and
A2's serial number holds markup.

  station_check.py page --url URL --log FILE --chromium EXE --screenshot PNG --hostile TEXT
      the page in headless Chromium (same DevTools pipe as page_check.py):
      the tiles in slot order with their serials, A1 green with SUCCESS,
      B1 red with FAILED and reply-timeout, the header's totals, script
      hash and host; the hostile serial shown as text, no script ran; a
      screenshot kept.
  station_check.py api --url URL --log FILE --promtool EXE
      /api/v1/runs against the log line by line and field by field, with
      seq; since and limit paging; the event stream after a reconnect with
      Last-Event-ID (the missed runs and the true state); /metrics through
      promtool and its counters against the log.

Exit 0 when every check passed, 1 otherwise, 77 when a tool is missing."""
import argparse
import collections
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from page_check import TILES, Browser, tile  # noqa: E402

SLOTS = ["A1", "A2", "B1", "B2"]
SUCCEEDING = ["A1", "A2", "B2"]
MUTE = "B1"


class Checks:
    def __init__(self):
        self.items = []

    def __call__(self, ok, what):
        self.items.append((bool(ok), what))
        print(("ok   " if ok else "FAIL ") + what, flush=True)
        return bool(ok)

    def result(self):
        failed = [w for ok, w in self.items if not ok]
        print(f"{len(self.items) - len(failed)} passed, {len(failed)} failed", flush=True)
        return 1 if failed or not self.items else 0


def get(url, path, timeout=10):
    with urllib.request.urlopen(url + path, timeout=timeout) as r:
        return r.status, r.read().decode("utf-8")


def get_json(url, path):
    status, body = get(url, path)
    return json.loads(body, object_pairs_hook=collections.OrderedDict)


def wait_until(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


def wait_for_station(url):
    def up():
        try:
            return get(url, "/healthz", timeout=2)[0] == 200
        except (urllib.error.URLError, OSError):
            return False
    wait_until("the station's /healthz", up, 20)


def log_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return [json.loads(l, object_pairs_hook=collections.OrderedDict) for l in f if l.strip()]
    except FileNotFoundError:
        return []


def wait_for_log(path, n, timeout=60):
    return wait_until(f"{n} log lines in {path}", lambda: (lambda l: l if len(l) >= n else None)(log_lines(path)),
                      timeout)


class EventStream:
    """A raw reader of /api/v1/events: its events as (name, id, data)."""

    def __init__(self, url, last_event_id=None):
        host, port = url.split("//", 1)[1].split(":")
        self.sock = socket.create_connection((host, int(port)), timeout=10)
        head = f"GET /api/v1/events HTTP/1.1\r\nHost: {host}\r\nAccept: text/event-stream\r\n"
        if last_event_id is not None:
            head += f"Last-Event-ID: {last_event_id}\r\n"
        self.sock.sendall((head + "\r\n").encode())
        self.buffer = b""
        self.head_done = False

    def _fill(self, deadline):
        self.sock.settimeout(max(0.05, deadline - time.monotonic()))
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("the station closed the event stream")
        self.buffer += chunk

    def events(self, timeout):
        """Yields events until timeout. The chunked framing is taken off
        by dropping the chunk-size lines, which never look like a field."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\n\n" not in self.buffer.replace(b"\r\n", b"\n"):
                if time.monotonic() > deadline:
                    return
                try:
                    self._fill(deadline)
                except socket.timeout:
                    return
            text = self.buffer.replace(b"\r\n", b"\n")
            block, rest = text.split(b"\n\n", 1)
            self.buffer = rest
            if not self.head_done:
                self.head_done = block.startswith(b"HTTP/1.1 200")
                if not self.head_done:
                    raise AssertionError(f"the event stream answered {block[:80]!r}")
                continue
            name, ident, data = None, None, []
            for line in block.decode("utf-8").split("\n"):
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("id: "):
                    ident = int(line[4:])
                elif line.startswith("data: "):
                    data.append(line[6:])
            if name:
                yield name, ident, json.loads("\n".join(data), object_pairs_hook=collections.OrderedDict)

    def close(self):
        self.sock.close()


def check_page(a, check):
    if not a.chromium:
        print("SKIPPED: no chromium (Debian package chromium)")
        return 77
    profile = tempfile.mkdtemp(prefix="vantrel-station-page-")
    browser = None
    try:
        browser = Browser(a.chromium, profile)
        browser.open_page(a.url + "/")
        # The stream opens before its first message, the whole state, is
        # drawn: the tiles are there once that message has been rendered.
        browser.wait_for(f"{TILES}.length === {len(SLOTS)}", "the first state drawn")
        check(browser.js(f"{TILES}.map(t => t.dataset.key).join()") == ",".join(SLOTS),
              "the slot map's four tiles, empty, in its order")
        check(browser.js(f"{TILES}.every(t => t.querySelector('.serial').textContent === '')"),
              "no serial number before anything is plugged in")
        print("plug", flush=True)

        browser.wait_for(f"{TILES}.every(t => t.querySelector('.serial').textContent !== '')",
                         "every tile with its unit's serial number", timeout=20)
        check(browser.js(f"{TILES}.map(t => t.dataset.key).join()") == ",".join(SLOTS), "tiles still in slot order")
        done = " && ".join([tile(k, "t.dataset.state === 'success'") for k in SUCCEEDING] +
                           [tile(MUTE, "t.dataset.state === 'failed'")])
        browser.wait_for(done, "A1, A2, B2 green and B1 red", timeout=60)
        green = browser.js(tile("A1", "getComputedStyle(t.querySelector('.state')).backgroundColor"))
        red = browser.js(tile(MUTE, "getComputedStyle(t.querySelector('.state')).backgroundColor"))
        check(green == "rgb(31, 157, 76)", f"A1's state is green ({green})")
        check(red == "rgb(211, 48, 47)", f"B1's state is red ({red})")
        check(browser.js(tile("A1", "t.querySelector('.state').textContent")) == "SUCCESS", "A1 says SUCCESS")
        check(browser.js(tile("A1", "t.querySelector('.result').textContent")) == "success", "A1 shows success")
        check(browser.js(tile("A1", "t.querySelector('.serial').textContent")) == "S/N WEB-A1", "A1's serial number")
        check(browser.js(tile(MUTE, "t.querySelector('.state').textContent")) == "FAILED", "B1 says FAILED")
        result = browser.js(tile(MUTE, "t.querySelector('.result').textContent"))
        check(result == "reply-timeout", f"B1 shows reply-timeout ({result})")
        check(browser.js(tile("A1", "t.querySelector('.counts').textContent")) == "✓ 1  ✗ 0", "A1's counts")
        check(browser.js(tile(MUTE, "t.querySelector('.counts').textContent")) == "✓ 0  ✗ 1", "B1's counts")
        check(browser.js(tile(MUTE, "t.querySelector('.attempt').textContent")).startswith("attempt 1"),
              "B1's attempt")
        # The header's totals follow the same updates as the tiles.
        browser.wait_for("document.getElementById('passed').textContent === '3' && "
                         "document.getElementById('failed').textContent === '1'", "header: 3 passed, 1 failed")
        logged = wait_for_log(a.log, 4)
        sha = logged[0]["script_sha256"]
        shown = browser.js("document.getElementById('script-sha').textContent")
        check(shown == sha[:12], f"header: the script's SHA-256 from the log, 12 digits ({shown})")
        host = browser.js("document.getElementById('host').textContent")
        check(host == socket.gethostname(), f"header: the host name ({host})")

        time.sleep(0.5)  # room for an image error handler, had one been made
        serial = browser.js(tile("A2", "t.querySelector('.serial').textContent"))
        check(serial == "S/N " + a.hostile, f"the hostile serial number is shown as text ({serial!r})")
        check(browser.js("document.querySelectorAll('#tiles img').length") == 0, "no element made from it")
        check(browser.js("typeof window.__pwned") == "undefined" and browser.js("document.title") != "PWNED",
              "no script ran")
        exceptions = [e for e in browser.events if e.get("method") == "Runtime.exceptionThrown"]
        check(not exceptions, f"no script errors on the page ({len(exceptions)})")

        check(browser.save_screenshot(a.screenshot) > 10000, f"screenshot kept: {a.screenshot}")
    finally:
        if browser:
            browser.close()
        shutil.rmtree(profile, ignore_errors=True)
    return None


def check_api(a, check):
    # A stream open from the start, closed after the first run it is told
    # of; the runs after that end while no one listens.
    first = {"seq": None, "error": None}

    def listen():
        try:
            stream = EventStream(a.url)
            try:
                for name, ident, data in stream.events(60):
                    if name == "run":
                        first["seq"] = ident
                        return
            finally:
                stream.close()
        except Exception as e:  # reported below
            first["error"] = repr(e)

    listener = threading.Thread(target=listen)
    listener.start()
    status = get_json(a.url, "/api/v1/status")
    check([s["key"] for s in status["slots"]] == SLOTS, "status: the slot map's slots in order")
    check(status["last_seq"] == 0, "status: no run yet")
    print("plug", flush=True)

    logged = wait_for_log(a.log, 4)
    # The station writes a run's line to the log, then hands the run to the
    # server in the same pass: the API may lag the file by that much.
    wait_until("the API's fourth run", lambda: get_json(a.url, "/api/v1/status")["last_seq"] >= 4, 10)
    listener.join(70)
    check(first["error"] is None and first["seq"] == 1,
          f"the first stream was told of run 1 ({first['seq']}, {first['error']})")

    # Every run as its log line, field by field and in the same order, plus seq.
    runs = get_json(a.url, "/api/v1/runs?since=0")
    check(len(runs["runs"]) == len(logged) == 4, f"4 runs in the API and the log ({len(runs['runs'])}, {len(logged)})")
    for n, (run, line) in enumerate(zip(runs["runs"], logged), start=1):
        without = collections.OrderedDict((k, v) for k, v in run.items() if k != "seq")
        check(run.get("seq") == n, f"run {n} has seq {run.get('seq')}")
        check(list(without.keys()) == list(line.keys()), f"run {n} has the log line's fields in order")
        check(without == line, f"run {n} equals its log line field by field"
              + ("" if without == line else f": {dict(without)} against {dict(line)}"))
    check(runs["next"] == 4 and runs["first_held"] == 1, f"next 4, first held 1 ({runs['next']}, {runs['first_held']})")

    # Paging one run at a time gives the same runs in the same order.
    paged, since = [], 0
    for _ in range(10):
        page = get_json(a.url, f"/api/v1/runs?since={since}&limit=1")
        if not page["runs"]:
            break
        check(len(page["runs"]) == 1 and page["next"] == since + 1, f"since={since}&limit=1 gives one run")
        paged += page["runs"]
        since = page["next"]
    check(paged == runs["runs"], "paging by one gives the same four runs")
    tail = get_json(a.url, "/api/v1/runs?since=2")
    check([r["seq"] for r in tail["runs"]] == [3, 4], "since=2 gives runs 3 and 4")
    try:
        get(a.url, "/api/v1/runs?since=-1")
        check(False, "since=-1 is refused")
    except urllib.error.HTTPError as e:
        check(e.code == 400 and "error" in json.loads(e.read()), f"since=-1 gets 400 with a JSON error ({e.code})")

    # The reconnect: the runs missed since the last id seen, then the true state.
    seen, state = [], None
    stream = EventStream(a.url, last_event_id=first["seq"] or 0)
    try:
        for name, ident, data in stream.events(15):
            if name == "run":
                seen.append(ident)
                check(data == runs["runs"][ident - 1], f"replayed run {ident} equals the API's")
            elif name == "state":
                state = data
                break
    finally:
        stream.close()
    check(seen == [2, 3, 4], f"the reconnect replays the missed runs 2, 3, 4 ({seen})")
    truth = get_json(a.url, "/api/v1/status")
    check(state is not None and state["totals"]["passed"] == 3 and state["totals"]["failed"] == 1,
          "after the reconnect the state counts 3 passed, 1 failed")
    if state is not None:
        mine = [(s["key"], s["state"], s["result"], s["serial"], s["successes"], s["failures"]) for s in state["slots"]]
        real = [(s["key"], s["state"], s["result"], s["serial"], s["successes"], s["failures"]) for s in truth["slots"]]
        check(mine == real, f"after the reconnect the slots are the status's ({mine})")
        check(state["last_seq"] == 4, "after the reconnect last_seq is 4")

    # /metrics: promtool accepts it and its counters are the log's.
    _, text = get(a.url, "/metrics")
    lint = subprocess.run([a.promtool, "check", "metrics"], input=text, text=True, capture_output=True, timeout=30)
    check(lint.returncode == 0, f"promtool check metrics accepts /metrics {lint.stdout}{lint.stderr}")
    want = collections.Counter((l["result"], l["slot"]) for l in logged)
    got = {}
    pattern = re.compile(r'^vantrel_runs_total\{result="((?:[^"\\]|\\.)*)",slot="((?:[^"\\]|\\.)*)"\} (\d+)$')
    for row in text.splitlines():
        m = pattern.match(row)
        if m:
            got[(m.group(1), m.group(2))] = int(m.group(3))
    check(got == dict(want), f"vantrel_runs_total {got} is the log's {dict(want)}")
    count = re.search(r"^vantrel_run_duration_seconds_count (\d+)$", text, re.M)
    check(count and int(count.group(1)) == len(logged), "the duration histogram counts the log's runs")
    total = re.search(r"^vantrel_run_duration_seconds_sum ([0-9.e+]+)$", text, re.M)
    logged_sum = sum(l["duration_s"] for l in logged)
    check(total and abs(float(total.group(1)) - logged_sum) < 0.01 * len(logged),
          f"the duration histogram's sum is the log's ({total and total.group(1)} against {logged_sum:.3f})")
    for name, value in (("vantrel_runs_running", 0), ("vantrel_log_writable", 1)):
        check(re.search(rf"^{name} {value}$", text, re.M), f"{name} is {value}")
    check(f'vantrel_script_info{{sha256="{logged[0]["script_sha256"]}"' in text,
          "vantrel_script_info carries the log's script SHA-256")
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("part", choices=["page", "api"])
    ap.add_argument("--url", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--chromium", default="")
    ap.add_argument("--screenshot", default="")
    ap.add_argument("--hostile", default="")
    ap.add_argument("--promtool", default="")
    a = ap.parse_args()
    if a.part == "api" and not a.promtool:
        print("SKIPPED: no promtool (Debian package prometheus)")
        return 77
    check = Checks()
    wait_for_station(a.url)
    try:
        skipped = check_page(a, check) if a.part == "page" else check_api(a, check)
    except (AssertionError, TimeoutError, RuntimeError, OSError) as e:
        check(False, f"{type(e).__name__}: {e}")
        skipped = None
    if skipped is not None:
        return skipped
    return check.result()


if __name__ == "__main__":
    sys.exit(main())
