"""The log shipping example of the README, end to end: the station-side
configuration (imfile reading the JSON run log, forwarding over TCP) and
the collector-side one (imtcp, one file per station), both taken from
README.md as they are printed there, with only the paths, host and port
swapped for a temporary folder and a free loopback port. Two rsyslogd run
in the foreground with their own configuration, pid file and work folder;
lines shaped like the station's (escapes, non-ASCII, a 2 KiB serial
number) are appended in bursts and must arrive whole and in order.

  rsyslog_check.py --readme README.md [--rsyslogd /usr/sbin/rsyslogd]

Exit 0 when they do, 1 when not, 77 without rsyslogd."""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

STATION_BLOCK = "# /etc/rsyslog.d/vantrel.conf on each station"
COLLECTOR_BLOCK = "# /etc/rsyslog.d/vantrel-collector.conf on the collector"


def readme_block(readme, first_line):
    text = open(readme, encoding="utf-8").read()
    for block in re.findall(r"```[a-z]*\n(.*?)```", text, re.S):
        if block.startswith(first_line):
            return block
    raise SystemExit(f"FAIL: README.md has no block starting with {first_line!r}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_line(n):
    serial = f"VT-{n:05d}" if n % 50 else "S" * 2048
    return json.dumps({
        "start": "2026-12-08T11:42:49.535Z", "end": "2026-12-08T11:42:55.669Z", "port": f"ttyACM{n % 8}",
        "location": f"1-1.{n % 8}", "slot": f"A{n % 8}", "attempt": 1,
        "hardware_id": "USB\\VID_0483&PID_5740&REV_0200", "serial": serial,
        "product": "Termin\u00e4l \"X\" \x1b[31m\ufffd",
        "script_size": 2097289, "script_sha256": "fc7d0a" + "0" * 58, "baud": "3686400",
        "result": "success" if n % 7 else "reply-timeout", "exit_code": 0 if n % 7 else 6,
        "payload_bytes": 2097152, "duration_s": 2.21, "duplicate_serial": False, "seq_in_test": n,
    }, ensure_ascii=False, separators=(",", ":"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--readme", required=True)
    ap.add_argument("--rsyslogd", default=shutil.which("rsyslogd") or "/usr/sbin/rsyslogd")
    a = ap.parse_args()
    if not os.access(a.rsyslogd, os.X_OK):
        print("SKIPPED: no rsyslogd (Debian package rsyslog)")
        return 77

    work = tempfile.mkdtemp(prefix="vantrel-rsyslog-")
    port = free_port()
    log = os.path.join(work, "runs.jsonl")
    out = os.path.join(work, "stations") + "/"
    os.makedirs(out)
    open(log, "w").close()

    def configure(name, block):
        text = readme_block(a.readme, block)
        text = (text.replace("/var/log/vantrel/runs.jsonl", log).replace("/var/log/vantrel/stations/", out)
                .replace("logs.factory.example", "127.0.0.1").replace('"6514"', f'"{port}"'))
        folder = os.path.join(work, name)
        os.makedirs(folder)
        # What Debian's /etc/rsyslog.conf gives every snippet: a work folder
        # (for imfile's state and the queue's files).
        path = os.path.join(work, name + ".conf")
        with open(path, "w") as f:
            f.write(f'global(workDirectory="{folder}")\n' + text)
        return path

    procs = []

    def start(name, block):
        conf = configure(name, block)
        p = subprocess.Popen([a.rsyslogd, "-n", "-f", conf, "-i", os.path.join(work, name + ".pid")],
                             stdout=open(os.path.join(work, name + ".log"), "w"), stderr=subprocess.STDOUT)
        procs.append(p)
        return p

    failures = []
    sent = []
    try:
        start("collector", COLLECTOR_BLOCK)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        else:
            failures.append("the collector does not listen")
        start("station", STATION_BLOCK)
        time.sleep(1)  # imfile takes the file from its end: let it open it first
        # The station appends one line per finished run; here in bursts.
        with open(log, "a", encoding="utf-8") as f:
            for n in range(1, 301):
                line = run_line(n)
                sent.append(line)
                f.write(line + "\n")
                if n % 10 == 0:
                    f.flush()
                    os.fsync(f.fileno())
                    time.sleep(0.02)
        received = []
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            files = [os.path.join(out, f) for f in os.listdir(out)]
            if len(files) == 1:
                with open(files[0], encoding="utf-8") as f:
                    received = f.read().split("\n")[:-1]
            if len(received) >= len(sent) or any(p.poll() is not None for p in procs):
                break
            time.sleep(0.2)
        files = os.listdir(out)
        if len(files) != 1 or files[0] != socket.gethostname() + ".jsonl":
            failures.append(f"expected one file named for the station's host, got {files}")
        if received != sent:
            missing = [n for n, line in enumerate(sent, 1) if line not in received]
            failures.append(f"{len(received)} lines arrived of {len(sent)} sent; missing or altered: {missing[:10]}")
            for got, want in zip(received, sent):
                if got != want:
                    failures.append(f"first difference:\n  sent     {want[:200]}\n  received {got[:200]}")
                    break
        for line in received:
            try:
                json.loads(line)
            except ValueError:
                failures.append(f"not JSON on arrival: {line[:200]}")
                break
    finally:
        for p in procs:
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=10)
        if failures:
            for name in ("collector", "station"):
                path = os.path.join(work, name + ".log")
                if os.path.exists(path):
                    print(f"== rsyslogd ({name}):\n" + open(path).read()[-2000:])
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"rsyslog: {len(sent)} lines arrived whole and in order at the collector")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
