#!/usr/bin/env python3
"""Drives headless Chromium through the DevTools protocol over a pipe (no network, no
library): opens the host's live page and checks that

  * it shows the DC bus voltage of DC screen 21 with its unit and an absent value as absent;
  * the value changes when the plant changes, without a reload of the page;
  * the console stays clean (no message of level warning or error, no exception);
  * a banner appears when the event stream drops (the host is stopped).

Takes a screenshot at laptop width and one at phone width before the host stops.
  live-page-check.py URL HOST_PID OUT_DIR BEFORE AFTER
BEFORE and AFTER are the voltage texts expected before and after the plant's step
("53.5 V", "49.5 V"). Exit 0 when every check passes, 1 when one fails."""
import base64
import fcntl
import json
import os
import signal
import subprocess
import sys
import time

url, host_pid, out, before, after = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]


class Browser:
    def __init__(self, profile):
        # fds 3 and 4 of the browser are its protocol pipe: it reads from 3 and writes to 4.
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--hide-scrollbars", "--remote-debugging-pipe", "--no-first-run", "--user-data-dir=" + profile],
            close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=lambda: self._pipe_fds(to_browser_r, from_browser_w))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buf = b""
        self.next_id = 0
        self.events = []

    @staticmethod
    def _pipe_fds(r, w):
        # In the child: the two pipe ends become fds 3 and 4, moved out of the way first so
        # that neither overwrites the other.
        r, w = fcntl.fcntl(r, fcntl.F_DUPFD, 10), fcntl.fcntl(w, fcntl.F_DUPFD, 10)
        os.dup2(r, 3, inheritable=True)
        os.dup2(w, 4, inheritable=True)

    def _read_message(self, deadline):
        while b"\0" not in self.buf:
            if time.time() > deadline:
                raise TimeoutError("no answer from the browser")
            chunk = os.read(self.from_browser, 65536)
            if not chunk:
                raise RuntimeError("the browser went away")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, params=None, session=None, timeout=30):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.to_browser, json.dumps(msg).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            m = self._read_message(deadline)
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m.get("result", {})
            self.events.append(m)

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def main():
    b = Browser(os.path.join(out, "chromium-profile"))
    failures = []
    try:
        target = b.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        s = b.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Runtime", "Log", "Page"):
            b.call(domain + ".enable", session=s)
        b.call("Emulation.setDeviceMetricsOverride",
               {"width": 1280, "height": 1100, "deviceScaleFactor": 1, "mobile": False}, session=s)
        b.call("Page.navigate", {"url": url}, session=s)

        def js(expr):
            r = b.call("Runtime.evaluate", {"expression": expr, "returnByValue": True}, session=s)
            return r.get("result", {}).get("value")

        def wait_for(expr, want, seconds):
            deadline = time.time() + seconds
            got = None
            while time.time() < deadline:
                got = js(expr)
                if got == want:
                    return got
                time.sleep(0.25)
            return got

        volt = ("(() => { const e = document.querySelector('[data-device=\"zrt4600a-dc/21\"] tr[data-key=\"v\"] td');"
                " return e ? e.nextElementSibling.textContent : null; })()")
        got = wait_for(volt, before, 40)
        print(f"live-page-check: DC screen 21 voltage first shows {got!r}")
        if got != before:
            failures.append(f"the page never showed {before!r} (last {got!r})")
        js("window.__sameLoad = true")
        absent = js("document.querySelectorAll('td.absent').length")
        print(f"live-page-check: {absent} values shown as absent")
        if not absent:
            failures.append("no value is shown as absent")
        got = wait_for(volt, after, 90)
        print(f"live-page-check: after the plant's step it shows {got!r}")
        if got != after:
            failures.append(f"the page never showed {after!r} after the plant changed (last {got!r})")
        if js("window.__sameLoad") is not True:
            failures.append("the page was reloaded")
        alarms = js("document.querySelectorAll('#alarms tr[data-alarm]').length")
        english = js("[...document.querySelectorAll('#alarms tr[data-alarm] td:nth-child(2)')].map(e => e.textContent)")
        print(f"live-page-check: {alarms} active alarms shown: {sorted(set(english or []))}")
        if not alarms:
            failures.append("no active alarm is shown")
        expect = os.environ.get("UPLINK_EXPECT")
        if expect:
            uplink = ("(() => { const t = document.getElementById('uplink').textContent;"
                      f" return t.startsWith({json.dumps(expect)}) ? 'ok' : t; }})()")
            got = wait_for(uplink, "ok", 30)
            shown = js("document.getElementById('uplink').textContent")
            print(f"live-page-check: the uplink's state: {shown!r}")
            if got != "ok":
                failures.append(f"the page does not show {expect!r} (it shows {got!r})")
        if js("document.getElementById('trend').querySelectorAll('polyline').length") != 2:
            failures.append("the DC bus trend does not show the two DC screens")

        def shot(name, width, height, mobile):
            b.call("Emulation.setDeviceMetricsOverride",
                   {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile}, session=s)
            time.sleep(0.5)
            png = b.call("Page.captureScreenshot", {"format": "png"}, session=s)["data"]
            with open(os.path.join(out, name), "wb") as f:
                f.write(base64.b64decode(png))
            print(f"live-page-check: screenshot {os.path.join(out, name)}")

        shot("live-page.png", 1280, 1100, False)
        shot("live-page-phone.png", 390, 844, True)
        b.call("Emulation.setDeviceMetricsOverride",
               {"width": 1280, "height": 1100, "deviceScaleFactor": 1, "mobile": False}, session=s)

        # Everything the page said so far must be clean.
        noisy = []
        for e in b.events:
            m, p = e.get("method"), e.get("params", {})
            if m == "Runtime.exceptionThrown":
                noisy.append("exception: " + json.dumps(p.get("exceptionDetails", {}))[:300])
            elif m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "warning", "assert"):
                noisy.append("console: " + json.dumps(p.get("args", []))[:300])
            elif m == "Log.entryAdded" and p.get("entry", {}).get("level") in ("error", "warning"):
                noisy.append("log: " + p["entry"].get("text", "")[:300])
        for n in noisy:
            print("live-page-check:", n)
        if noisy:
            failures.append(f"{len(noisy)} console messages")
        else:
            print("live-page-check: console clean")

        # The stream drops: the banner shows.
        os.kill(host_pid, signal.SIGTERM)
        shown = wait_for("document.getElementById('banner').classList.contains('show')", True, 15)
        print(f"live-page-check: banner shown after the host stopped: {shown}")
        if shown is not True:
            failures.append("no banner when the event stream dropped")
    finally:
        b.close()
    for f in failures:
        print("live-page-check: FAIL:", f, file=sys.stderr)
    return 1 if failures else 0


sys.exit(main())
