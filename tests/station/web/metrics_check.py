"""/metrics after a mixed run: promtool accepts it, and its counters agree
with the log lines the runs left (per result and slot, and the count of
the duration histogram)."""
import argparse
import collections
import re
import subprocess
import sys

from webdemo import Demo, slot, station


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--demo", required=True)
    ap.add_argument("--promtool", default="")
    a = ap.parse_args()
    if not a.promtool:
        print("SKIPPED: promtool not found (Debian package prometheus)")
        return 77
    demo = Demo(a.demo)
    try:
        demo.publish(station([slot("A1"), slot("A2"), slot('B"1\\x'), slot("B2")], running=1, waiting=2))
        log = []
        mixed = [("A1", "success", 12.5), ("A2", "success", 14.0), ('B"1\\x', "reply-timeout", 31.2),
                 ("A1", "success", 11.9), ("B2", "format1-refused", 2.0), ("A2", "hang", 700.0)]
        for n, (key, result, seconds) in enumerate(mixed):
            line = {"start": "2026-12-08T11:14:38.123Z", "port": f"ttyACM{n}", "slot": key, "result": result,
                    "duration_s": seconds}
            log.append(line)
            demo.run(line, key, result, seconds)
        text = demo.get("/metrics")
    finally:
        demo.close()

    check = subprocess.run([a.promtool, "check", "metrics"], input=text, text=True, capture_output=True, timeout=30)
    failures = []
    if check.returncode != 0:
        failures.append(f"promtool check metrics: {check.stdout}{check.stderr}")

    want = collections.Counter((l["result"], l["slot"]) for l in log)
    got = {}
    pattern = re.compile(r'^vantrel_runs_total\{result="((?:[^"\\]|\\.)*)",slot="((?:[^"\\]|\\.)*)"\} (\d+)$')
    unescape = lambda v: re.sub(r'\\(.)', lambda m: {"n": "\n"}.get(m.group(1), m.group(1)), v)
    for row in text.splitlines():
        m = pattern.match(row)
        if m:
            got[(unescape(m.group(1)), unescape(m.group(2)))] = int(m.group(3))
    if got != dict(want):
        failures.append(f"vantrel_runs_total {got} against the log {dict(want)}")
    count = re.search(r"^vantrel_run_duration_seconds_count (\d+)$", text, re.M)
    if not count or int(count.group(1)) != len(log):
        failures.append(f"duration count {count and count.group(1)} against {len(log)} log lines")
    inf = re.search(r'^vantrel_run_duration_seconds_bucket\{le="600"\} (\d+)$', text, re.M)
    if not inf or int(inf.group(1)) != len(log) - 1:
        failures.append("the 700 s run must fall past the 600 s bucket")
    for name, value in (("vantrel_runs_running", 1), ("vantrel_units_waiting", 2), ("vantrel_log_writable", 1)):
        if not re.search(rf"^{name} {value}$", text, re.M):
            failures.append(f"{name} is not {value}")
    if "vantrel_script_info{sha256=\"3f7a9c01be5d" not in text:
        failures.append("vantrel_script_info has no sha256 label")
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("metrics: promtool accepts them and the counters agree with the log")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
