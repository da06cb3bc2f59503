"""vantrel-web-demo driven from a test: start it on a free loopback port,
send it commands (publish a state, add a run), fetch from it. Shared by the
metrics and the page checks; a check of the real station swaps this for
the station itself and reads the same URLs."""
import json
import subprocess
import urllib.request


class Demo:
    def __init__(self, exe, args=()):
        self.proc = subprocess.Popen([exe, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "listening":
            raise RuntimeError(f"vantrel-web-demo did not start: {first}")
        self.url = f"http://127.0.0.1:{first[1]}"

    def command(self, obj):
        self.proc.stdin.write(json.dumps(obj) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if answer != "ok":
            raise RuntimeError(f"vantrel-web-demo answered {answer!r} to {obj}")

    def publish(self, state):
        self.command({"state": state})

    def run(self, line, slot, result, duration):
        self.command({"run": {"line": line, "slot": slot, "result": result, "duration_s": duration}})

    def get(self, path, timeout=10):
        with urllib.request.urlopen(self.url + path, timeout=timeout) as r:
            return r.read().decode("utf-8")

    def close(self):
        try:
            self.proc.stdin.write(json.dumps({"quit": True}) + "\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait(timeout=10)


def slot(key, state="waiting", **fields):
    s = {"key": key, "label": key, "location": "", "port": "", "serial": "", "state": state, "position": 0,
         "total": 0, "result": "", "elapsed_s": 0.0, "attempt": 0, "retries": 0, "successes": 0, "failures": 0}
    s.update(fields)
    return s


def station(slots, **totals):
    t = {"passed": 0, "failed": 0, "units_per_hour": 0.0, "running": 0, "waiting": 0}
    t.update(totals)
    return {"station": {"host": "line7-station", "uptime_s": 3725.0, "log_writable": True},
            "script": {"name": "upgrader.asc", "size": 1843200,
                       "sha256": "3f7a9c01be5d2e4f6a8b0c1d2e3f405162738495a6b7c8d9e0f1a2b3c4d5e6f7"},
            "totals": t, "slots": slots}
