#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The example notification scripts as the program runs them, delivering through
Apprise (Debian package apprise) to an HTTP endpoint of the test's own: what
arrives, and an exit status that is 0 only when the message was delivered (the
retries depend on it). Standard library only; prints "N passed, N failed"."""

import argparse
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

ALARM = {"PHONE_HOME_CHANNEL": "fire", "PHONE_HOME_REASON": "alarm", "PHONE_HOME_PORT": "3",
         "PHONE_HOME_DEVICE": "/dev/com3", "PHONE_HOME_LINE": "CTS", "PHONE_HOME_TIME": "2026-12-08T09:14:03.412+01:00",
         "PHONE_HOME_ATTEMPT": "1"}
BEAT = {"PHONE_HOME_CHANNEL": "heartbeat", "PHONE_HOME_REASON": "heartbeat", "PHONE_HOME_PORT": "3",
        "PHONE_HOME_DEVICE": "/dev/com3", "PHONE_HOME_LINE": "", "PHONE_HOME_TIME": "2026-12-08T09:14:03.412+01:00",
        "PHONE_HOME_ATTEMPT": "1", "PHONE_HOME_UPTIME": "86400", "PHONE_HOME_LINES": "CTS=low DSR=high DCD=low",
        "PHONE_HOME_IN_ALARM": "flood", "PHONE_HOME_ALARMS": "2", "PHONE_HOME_FAILED": "1"}

# (what, script, environment, the endpoint's answer or None for no endpoint, exit 0?, words that must arrive)
CASES = [
    ("an alarm is delivered", "Fire.sh", ALARM, 200, True, ["SMOKE or FIRE DETECTED", "CTS high", "port 3"]),
    ("a refused delivery fails the script", "Fire.sh", ALARM, 500, False, []),
    ("an unreachable service fails the script", "Fire.sh", ALARM, None, False, []),
    ("the heartbeat carries its summary", "Heartbeat.sh", BEAT, 200, True,
     ["ALARM PANEL ALIVE", "CTS=low DSR=high DCD=low", "in alarm: flood", "2 alarms", "1 failed"]),
]


class Endpoint:
    """An HTTP server that answers every POST with one status and keeps the JSON bodies."""

    def __init__(self, status):
        self.received = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                outer.received.append(json.loads(self.rfile.read(length) or b"{}"))
                self.send_response(status)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self):
        return f"json://127.0.0.1:{self.server.server_address[1]}/"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def run_case(examples, case):
    what, script, env, status, delivered, words = case
    work = tempfile.mkdtemp(prefix="examples-")
    endpoint = Endpoint(status) if status else None
    try:
        for name in os.listdir(examples):
            if name.endswith(".sh"):
                with open(os.path.join(examples, name)) as f:
                    text = f.read().replace('TO="alarm@example.com"', 'TO=""')
                with open(os.path.join(work, name), "w") as f:
                    f.write(text)
        # A port nobody listens on, where there is no endpoint.
        url = endpoint.url() if endpoint else "json://127.0.0.1:9/"
        environment = dict(os.environ, **env, APPRISE_URLS=url)
        done = subprocess.run(["sh", os.path.join(work, script)], env=environment, cwd=work,
                              capture_output=True, text=True, timeout=120)
        if (done.returncode == 0) != delivered:
            return f"{what}: exit status {done.returncode}, stderr {done.stderr[-300:]!r}"
        arrived = " ".join(f"{m.get('title', '')} {m.get('message', '')}" for m in (endpoint.received if endpoint else []))
        missing = [w for w in words if w not in arrived]
        if missing:
            return f"{what}: {missing} not in what arrived: {arrived[:400]!r}"
        return None
    finally:
        if endpoint:
            endpoint.stop()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--examples", required=True)
    args = parser.parse_args()
    if not shutil.which("apprise"):
        print("FAIL apprise is not installed (Debian package apprise)")
        return 1
    failed = 0
    for case in CASES:
        problem = run_case(args.examples, case)
        print(f"FAIL {problem}" if problem else f"PASS {case[0]}", flush=True)
        failed += bool(problem)
    print(f"examples: {len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
