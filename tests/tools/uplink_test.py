#!/usr/bin/env python3
"""The uplink against a real mosquitto on loopback, started here on a free port.

    uplink_test.py BUILD_DIR SOURCE_DIR CASE

CASE: settings (bad options and keys), session (births, data by exception, seq, bdSeq,
rebirth, clean stop, the will on kill -9, polling through an outage), faults (a refused
password, TLS with a CA made here, a failed certificate check), replay (an outage's values
sent afterwards as historical values equal to the history file's, after a broker stopped
for a minute), protocol (against a broker played here: MQTT 3.1.1 when MQTT 5 is refused,
topic aliases within the broker's maximum).
Payloads are decoded with protoc --decode against tools/uplink/sparkplug_b.proto.
"""
import codecs
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time

BUILD, SOURCE, CASE = sys.argv[1], sys.argv[2], sys.argv[3]
HOST = os.path.join(BUILD, "tools", "zrt4600a-host")
PROTO_DIR = os.path.join(SOURCE, "tools", "uplink")
SETTINGS = os.path.join(SOURCE, "examples", "site.json")
NODE = "site-a"
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(pred, timeout, what):
    end = time.time() + timeout
    while time.time() < end:
        r = pred()
        if r:
            return r
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


class Broker:
    def __init__(self, work, port, extra=""):
        self.conf = os.path.join(work, "mosquitto-%d.conf" % port)
        self.port = port
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\npersistence false\n" % port)
            f.write(extra or "allow_anonymous true\n")
        self.log = open(os.path.join(work, "mosquitto-%d.log" % port), "a")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self.log, stderr=self.log)
        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, 10, "mosquitto on port %d" % self.port)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class Subscriber:
    """mosquitto_sub writing each message as receive time, topic and hex payload."""

    def __init__(self, work, port, tls_args=()):
        self.path = os.path.join(work, "sub-%d-%f.txt" % (port, time.time()))
        self.out = open(self.path, "w")
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", "spBv1.0/#", "-F", "%U %t %x"]
            + list(tls_args), stdout=self.out, stderr=subprocess.STDOUT)
        time.sleep(0.5)

    def messages(self):
        out = []
        with open(self.path) as f:
            for line in f:
                if not line.endswith("\n"):
                    break  # still being written
                parts = line.rstrip("\n").split(" ")
                if len(parts) < 2 or not parts[1].startswith("spBv1.0/"):
                    continue
                out.append((parts[1], bytes.fromhex(parts[2]) if len(parts) > 2 else b""))
        return out

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


_decoded = {}


def decode(payload):
    """The payload as protoc's text format, parsed into nested dicts (repeated fields: lists)."""
    if payload in _decoded:
        return _decoded[payload]
    text = subprocess.run(["protoc", "-I", PROTO_DIR, "--decode=org.eclipse.tahu.protobuf.Payload",
                           "sparkplug_b.proto"], input=payload, capture_output=True, check=True).stdout.decode()
    stack = [{}]
    for line in text.splitlines():
        line = line.strip()
        if line.endswith("{"):
            obj = {}
            stack[-1].setdefault(line[:-1].strip(), []).append(obj)
            stack.append(obj)
        elif line == "}":
            stack.pop()
        elif line:
            key, value = line.split(": ", 1)
            if value[0] == '"':
                # protoc writes text bytes as C escapes ("\350\276...").
                parsed = codecs.escape_decode(value[1:-1].encode("ascii"))[0].decode("utf-8")
            elif value in ("true", "false"):
                parsed = value == "true"
            else:
                parsed = float(value)
            stack[-1].setdefault(key, []).append(parsed)
    _decoded[payload] = stack[0]
    return stack[0]


def one(d, key, default=None):
    return d.get(key, [default])[0]


def metric_value(m):
    for k in ("int_value", "long_value", "float_value", "double_value", "boolean_value", "string_value"):
        if k in m:
            return one(m, k)
    return None


def run_host(work, extra, name="host", settings=None, history=True):
    out = open(os.path.join(work, name + ".out"), "w")
    err = open(os.path.join(work, name + ".err"), "w")
    cmd = [HOST, "--settings", settings or SETTINGS, "--simulate", "--json", "--site", NODE] + extra
    if history:
        cmd += ["--history", os.path.join(work, "history.db")]
    return subprocess.Popen(cmd, stdout=out, stderr=err), os.path.join(work, name + ".out"), os.path.join(work, name + ".err")


def cycles_in(path):
    with open(path) as f:
        return sum(1 for line in f if '"event":"cycle"' in line)


def settings_with(work, uplink, name="site.json"):
    with open(SETTINGS) as f:
        s = json.load(f)
    s["uplink"] = uplink
    path = os.path.join(work, name)
    with open(path, "w") as f:
        json.dump(s, f)
    return path


def case_settings(work):
    def run(args, settings=None):
        p = subprocess.run([HOST, "--settings", settings or SETTINGS, "--simulate", "--cycles", "1"] + args,
                           capture_output=True, text=True, timeout=60)
        return p.returncode, p.stderr
    rc, err = run(["--uplink", "http://127.0.0.1:1883"])
    check(rc == 2 and "--uplink" in err and "mqtt://" in err, "a bad URL exits 2 naming --uplink: %d %s" % (rc, err))
    rc, err = run(["--uplink", "mqtt://127.0.0.1:99999"])
    check(rc == 2 and "--uplink" in err and "99999" in err, "a port out of range exits 2: %d %s" % (rc, err))
    rc, err = run([], settings_with(work, {"url": "mqtt://127.0.0.1:1883", "qos": 2}))
    check(rc == 7 and "uplink.qos" in err, "an unknown uplink key exits 7 naming it: %d %s" % (rc, err))
    rc, err = run([], settings_with(work, {"url": "mqtt://127.0.0.1:1883", "replay_hours": "24"}))
    check(rc == 8 and "uplink.replay_hours" in err, "a text for a number exits 8 naming the key: %d %s" % (rc, err))
    missing = os.path.join(work, "no-such-password")
    rc, err = run([], settings_with(work, {"url": "mqtt://127.0.0.1:1883", "username": "u", "password_file": missing}))
    check(rc == 2 and "uplink.password_file" in err and missing in err,
          "an unreadable password file exits 2 naming the key and file: %d %s" % (rc, err))
    rc, err = run([], settings_with(work, {"url": "mqtts://127.0.0.1:8883", "ca_file": missing}))
    check(rc == 2 and "uplink.ca_file" in err, "an unreadable CA file exits 2 naming the key: %d %s" % (rc, err))
    rc, err = run([], settings_with(work, {"url": "mqtt://127.0.0.1:1883", "node": "a/b"}))
    check(rc == 8 and "uplink.node" in err, "a node id with '/' exits 8 naming the key: %d %s" % (rc, err))
    # --uplink overrides the file's url, whose own value would be refused.
    rc, err = run(["--uplink", "mqtt://127.0.0.1:1"], settings_with(work, {"url": "bad"}))
    check(rc == 0, "--uplink overrides uplink.url: %d %s" % (rc, err))


def check_seq(msgs, what):
    """seq: 0 in each NBIRTH, then +1 (mod 256) on every message but NDEATH."""
    expected = None
    ok = True
    count = 0
    for topic, payload in msgs:
        kind = topic.split("/")[2]
        if kind in ("NDEATH", "NCMD", "DCMD") or topic.startswith("spBv1.0/STATE"):
            continue
        seq = int(one(decode(payload), "seq", -1))
        if kind == "NBIRTH":
            ok = ok and seq == 0
            expected = 1
        elif expected is not None:
            if seq != expected:
                print("seq %d after %d on %s" % (seq, expected - 1, topic))
                ok = False
            expected = (seq + 1) % 256
        count += 1
    check(ok and count > 0, what)


def case_session(work):
    port = free_port()
    broker = Broker(work, port)
    sub = Subscriber(work, port)
    metrics_port = free_port()
    host, out, err = run_host(work, ["--uplink", "mqtt://127.0.0.1:%d" % port, "--metrics", "127.0.0.1:%d" % metrics_port],
                              settings=settings_with(work, {"keepalive_s": 5}))
    try:
        def ddata_count():
            return sum(1 for t, _ in sub.messages() if "/DDATA/" in t) >= 3
        wait_for(ddata_count, 60, "DDATA")
        # The plant raises three alarms at cycle 3 and clears them at cycle 5.
        wait_for(lambda: cycles_in(out) >= 6, 90, "six cycles")
        time.sleep(0.5)
        msgs = sub.messages()
        topics = [t for t, _ in msgs]
        check(topics[0] == "spBv1.0/zrt4600a/NBIRTH/" + NODE, "the NBIRTH comes first: " + topics[0])
        nb = decode(msgs[0][1])
        nm = {one(m, "name"): m for m in nb["metrics"]}
        check(one(nm["bdSeq"], "datatype") == 4 and one(nm["bdSeq"], "long_value") == 0,
              "NBIRTH: bdSeq is an Int64 0 in the first session")
        check(one(nm["Node Control/Rebirth"], "datatype") == 11, "NBIRTH: Node Control/Rebirth is a Boolean")
        check(one(nb, "seq") == 0, "NBIRTH: seq 0")
        births = {t.split("/")[-1]: decode(p) for t, p in msgs if "/DBIRTH/" in t}
        for dev in ("zrt4600a-dc-21", "zrt4600a-dc-22", "zrt4600a-ac-11", "zrt4600a-ac-12", "zrt4600a-rc-1", "zrt4600a-1"):
            check(dev in births, "a DBIRTH for " + dev)
        all_aliases = set()
        alias_name = {}
        for dev, b in births.items():
            for m in b["metrics"]:
                check("name" in m and "alias" in m and "datatype" in m,
                      "%s: every DBIRTH metric has a name, alias and datatype: %s" % (dev, m))
                a = int(one(m, "alias"))
                check(a not in all_aliases, "aliases are unique in the node: %d" % a)
                all_aliases.add(a)
                alias_name[(dev, a)] = one(m, "name")
        dc = {one(m, "name"): m for m in births["zrt4600a-dc-21"]["metrics"]}
        check("v" in dc and one(dc["v"], "datatype") == 9 and abs(one(dc["v"], "float_value") - 53.5) < 0.01,
              "the DC screen's bus voltage v is a Float 53.5 in its birth")
        check("alarm/DC_3" in dc and one(dc["alarm/DC_3"], "datatype") == 11, "the DC screen has alarm/DC_3 (Boolean)")
        props = dc["alarm/DC_3"]["properties"][0]
        values = [one(v, "string_value") for v in props["values"]]
        check(props["keys"] == ["text", "english"] and values == ["电池熔丝故障告警", "Battery fuse fault"],
              "alarm/DC_3 carries its Chinese text and English gloss: %s %s" % (props["keys"], values))
        check("line/up" in dc and one(dc["line/up"], "boolean_value") is True, "the DC screen carries line/up true")
        top = {one(m, "name") for m in births["zrt4600a-1"]["metrics"]}
        check("alarm/line_lost" in top, "the top device has alarm/line_lost")
        ac12 = {one(m, "name"): m for m in births["zrt4600a-ac-12"]["metrics"]}
        nulls = [n for n, m in ac12.items() if one(m, "is_null")]
        check(nulls and all(metric_value(ac12[n]) is None for n in nulls),
              "absent values of AC screen 12 are is_null, never a number: %s" % nulls)
        # Data by exception: by alias only, and a value only when it moved. The plant's steps
        # raise and clear three alarms.
        last = {}
        raised = set()
        for t, p in msgs:
            if "/DDATA/" not in t:
                continue
            dev = t.split("/")[-1]
            d = decode(p)
            check("timestamp" in d, "DDATA carries the cycle's time")
            for m in d.get("metrics", []):
                a = int(one(m, "alias"))
                check("name" not in m and (dev, a) in alias_name, "DDATA names a metric by a born alias only")
                v = metric_value(m)
                check(last.get((dev, a), object()) != v, "DDATA repeats no unchanged value (%s %s)" % (dev, a))
                last[(dev, a)] = v
                if alias_name.get((dev, a), "").startswith("alarm/") and v is True:
                    raised.add(alias_name[(dev, a)])
        check({"alarm/DC_3", "alarm/RC_0"} <= raised, "the plant's raised alarms arrive as DDATA: %s" % raised)
        check(last.get(("zrt4600a-dc-21", [a for (d, a), n in alias_name.items()
                                            if d == "zrt4600a-dc-21" and n == "alarm/DC_3"][0])) is False,
              "the cleared alarm arrives as false")
        check_seq(msgs, "seq counts 0..255 over the first session")
        # The metrics say connected and count the bytes.
        import urllib.request
        page = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics_port, timeout=5).read().decode()
        check(re.search(r'zrt4600a_uplink_connected\{[^}]*\} 1', page) is not None, "/metrics: uplink connected 1")
        sent = re.search(r'zrt4600a_uplink_sent_bytes_total\{[^}]*\} (\d+)', page)
        check(sent is not None and int(sent.group(1)) > 1000, "/metrics: uplink bytes sent")

        # Rebirth on NCMD: NBIRTH again with seq 0 and the same bdSeq, then every DBIRTH.
        before = len(sub.messages())
        ncmd = subprocess.run(["protoc", "-I", PROTO_DIR, "--encode=org.eclipse.tahu.protobuf.Payload", "sparkplug_b.proto"],
                              input=b'timestamp: 1\nmetrics { name: "Node Control/Rebirth" datatype: 11 boolean_value: true }\n',
                              capture_output=True, check=True).stdout
        cmd_file = os.path.join(work, "ncmd.bin")
        with open(cmd_file, "wb") as f:
            f.write(ncmd)
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-q", "1",
                        "-t", "spBv1.0/zrt4600a/NCMD/" + NODE, "-f", cmd_file], check=True)
        wait_for(lambda: sum(1 for t, _ in sub.messages()[before:] if "/DBIRTH/" in t) >= 6, 20, "the rebirth")
        reb = sub.messages()[before:]
        nbirths = [p for t, p in reb if t.endswith("/NBIRTH/" + NODE)]
        check(len(nbirths) == 1, "NCMD Rebirth: one NBIRTH")
        rb = {one(m, "name"): m for m in decode(nbirths[0])["metrics"]}
        check(one(rb["bdSeq"], "long_value") == 0 and one(decode(nbirths[0]), "seq") == 0,
              "the rebirth keeps bdSeq and starts seq at 0")

        # The broker goes away for a while: polling goes on, and the next session's bdSeq is 1.
        c0 = cycles_in(out)
        sub.stop()
        broker.stop()
        time.sleep(6)
        wait_for(lambda: cycles_in(out) >= c0 + 2, 90, "polling going on while the broker is down")
        broker.start()
        sub = Subscriber(work, port)
        wait_for(lambda: any("/NBIRTH/" in t for t, _ in sub.messages()), 30, "the NBIRTH of the second session")
        nb2 = [p for t, p in sub.messages() if "/NBIRTH/" in t][0]
        check(one({one(m, "name"): m for m in decode(nb2)["metrics"]}["bdSeq"], "long_value") == 1,
              "the second session's bdSeq is 1")
        with open(err) as f:
            said = f.read()
        check(said.count("closed the connection") + said.count("cannot be reached") >= 1, "the lost broker is said")

        # A clean stop publishes the NDEATH with the session's bdSeq.
        host.send_signal(signal.SIGTERM)
        check(host.wait(30) == 0, "the host stops cleanly")
        time.sleep(1)
        deaths = [p for t, p in sub.messages() if t == "spBv1.0/zrt4600a/NDEATH/" + NODE]
        check(len(deaths) == 1 and one(decode(deaths[0])["metrics"][0], "long_value") == 1,
              "a clean stop publishes NDEATH with bdSeq 1")
        check_seq(sub.messages(), "seq counts over the second session")

        # kill -9: the broker publishes the will, the NDEATH with the NBIRTH's bdSeq.
        host, out, err = run_host(work, ["--uplink", "mqtt://127.0.0.1:%d" % port], name="host2",
                                  settings=settings_with(work, {"keepalive_s": 5}))
        wait_for(lambda: sum(1 for t, _ in sub.messages() if "/NBIRTH/" in t) >= 2, 30, "the NBIRTH of the new host")
        host.kill()
        host.wait(10)
        wait_for(lambda: sum(1 for t, _ in sub.messages() if "/NDEATH/" in t) >= 2, 20, "the will")
        will = [p for t, p in sub.messages() if "/NDEATH/" in t][-1]
        check(one(decode(will)["metrics"][0], "long_value") == 0, "the will is the NDEATH with the new session's bdSeq 0")
    finally:
        if host.poll() is None:
            host.kill()
        sub.stop()
        broker.stop()


def case_faults(work):
    # A refused password: said once, while polling goes on.
    port = free_port()
    pw_file = os.path.join(work, "passwords")
    subprocess.run(["mosquitto_passwd", "-c", "-b", pw_file, "site", "right"], check=True)
    os.chmod(pw_file, 0o644)
    broker = Broker(work, port, "allow_anonymous false\npassword_file %s\n" % pw_file)
    wrong = os.path.join(work, "wrong")
    with open(wrong, "w") as f:
        f.write("wrong\n")
    started = time.time()
    host, out, err = run_host(work, [], history=False, settings=settings_with(
        work, {"url": "mqtt://127.0.0.1:%d" % port, "username": "site", "password_file": wrong}))
    try:
        # Polling goes on (three cycles) while the uplink tries again and again.
        wait_for(lambda: cycles_in(out) >= 3, 90, "three cycles with the password refused")
        time.sleep(max(0.0, 9 - (time.time() - started)))
        with open(err) as f:
            said = f.read()
        check(said.count("refused the connection") == 1 and "mqtt://127.0.0.1:%d" % port in said,
              "a refused password is said once naming the broker: " + said)
    finally:
        host.kill()
        host.wait()
        broker.stop()
    # The right password connects.
    right = os.path.join(work, "right")
    with open(right, "w") as f:
        f.write("right\n")
    broker = Broker(work, port, "allow_anonymous false\npassword_file %s\n" % pw_file)
    host, out, err = run_host(work, [], history=False, name="host-pw", settings=settings_with(
        work, {"url": "mqtt://127.0.0.1:%d" % port, "username": "site", "password_file": right}))
    try:
        wait_for(lambda: "connected to" in open(err).read(), 20, "a connection with the right password")
    finally:
        host.kill()
        host.wait()
        broker.stop()

    # TLS: a CA made here signs the broker's certificate.
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True, cwd=work)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
            "-subj", "/CN=test CA")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(work, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.crt", "-days", "2", "-extfile", "san.ext")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "other.key", "-out", "other.crt", "-days", "2",
            "-subj", "/CN=other CA")
    for name in os.listdir(work):
        os.chmod(os.path.join(work, name), 0o644)
    tport = free_port()
    broker = Broker(work, tport, "allow_anonymous true\ncafile %s/ca.crt\ncertfile %s/server.crt\nkeyfile %s/server.key\n"
                    % (work, work, work))
    sub = Subscriber(work, tport, ["--cafile", os.path.join(work, "ca.crt")])
    host, out, err = run_host(work, [], history=False, name="host-tls", settings=settings_with(
        work, {"url": "mqtts://127.0.0.1:%d" % tport, "ca_file": os.path.join(work, "ca.crt")}))
    try:
        wait_for(lambda: any("/DBIRTH/" in t for t, _ in sub.messages()), 30, "births over TLS")
        check(one(decode([p for t, p in sub.messages() if "/NBIRTH/" in t][0]), "seq") == 0, "NBIRTH over TLS")
    finally:
        host.kill()
        host.wait()
    # A certificate the CA did not sign: said once, why included.
    host, out, err = run_host(work, [], history=False, name="host-badca", settings=settings_with(
        work, {"url": "mqtts://127.0.0.1:%d" % tport, "ca_file": os.path.join(work, "other.crt")}))
    try:
        wait_for(lambda: cycles_in(out) >= 3, 90, "three cycles while TLS fails")
        with open(err) as f:
            said = f.read()
        check(said.count("refused the TLS connection") == 1 and "mqtts://127.0.0.1:%d refused" % tport in said
              and "certificate verify failed" in said,
              "a failed certificate check is said once, naming the broker and why: " + said)
    finally:
        host.kill()
        host.wait()
        sub.stop()
        broker.stop()

    # A primary host: no births before its STATE says online.
    port = free_port()
    broker = Broker(work, port)
    sub = Subscriber(work, port)
    def state(online):
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-r", "-t", "spBv1.0/STATE/scada",
                        "-m", json.dumps({"online": online, "timestamp": int(time.time() * 1000)})], check=True)
    state(False)
    host, out, err = run_host(work, [], history=False, name="host-primary", settings=settings_with(
        work, {"url": "mqtt://127.0.0.1:%d" % port, "primary_host": "scada"}))
    try:
        wait_for(lambda: cycles_in(out) >= 1, 60, "a cycle")
        time.sleep(2)
        check(not any("/NBIRTH/" in t for t, _ in sub.messages()), "no NBIRTH while the primary host is offline")
        state(True)
        wait_for(lambda: any("/NBIRTH/" in t for t, _ in sub.messages()), 20, "the NBIRTH once the primary host is online")
        state(False)
        wait_for(lambda: any("/NDEATH/" in t for t, _ in sub.messages()), 20, "the NDEATH when the primary host goes offline")
    finally:
        host.kill()
        host.wait()
        sub.stop()
        broker.stop()

    # No broker at all.
    host, out, err = run_host(work, ["--uplink", "mqtt://127.0.0.1:%d" % free_port()], history=False, name="host-none")
    try:
        time.sleep(6)
        with open(err) as f:
            said = f.read()
        check(said.count("cannot be reached: Connection refused") == 1, "an unreachable broker is said once: " + said)
    finally:
        host.kill()
        host.wait()


def case_replay(work, history=True):
    port = free_port()
    broker = Broker(work, port)
    sub = Subscriber(work, port)
    db = os.path.join(work, "history.db")
    # A plant whose values move every cycle, so that the outage has values to send.
    with open(os.path.join(SOURCE, "examples", "plant.json")) as f:
        plant = json.load(f)
    plant["steps"] = [{"cycle": c, "set": {"dc[0].v": 53.5 + (c % 7) * 0.3, "dc[1].i": 90.0 + c}} for c in range(1, 400)]
    plant_path = os.path.join(work, "moving-plant.json")
    with open(plant_path, "w") as f:
        json.dump(plant, f)
    host, out, err = run_host(work, ["--uplink", "mqtt://127.0.0.1:%d" % port, "--plant", plant_path], history=history)
    try:
        wait_for(lambda: sum(1 for t, _ in sub.messages() if "/DDATA/" in t) >= 3, 60, "live data")
        sub.stop()
        broker.stop()
        down_at = time.time() * 1000
        c0 = cycles_in(out)
        # A minute with the history file; the memory queue's shorter test keeps ctest short.
        time.sleep(int(os.environ.get("UPLINK_OUTAGE_S", "60" if history else "25")))
        wait_for(lambda: cycles_in(out) >= c0 + 2, 90, "polling going on through the outage")
        up_at = time.time() * 1000
        broker.start()
        sub = Subscriber(work, port)
        def replayed():
            return "missed values are sent" in open(err).read()
        # The back-off may have grown to a minute by the time the broker is back.
        wait_for(replayed, 100, "the replay")
        replayed_at = time.time() * 1000
        time.sleep(2)
        msgs = sub.messages()
        births = {t.split("/")[-1]: decode(p) for t, p in msgs if "/DBIRTH/" in t}
        names = {}
        for dev, b in births.items():
            for m in b["metrics"]:
                names[(dev, int(one(m, "alias")))] = one(m, "name")
        hist = []
        for t, p in msgs:
            if "/DDATA/" not in t:
                continue
            dev = t.split("/")[-1]
            for m in decode(p).get("metrics", []):
                if one(m, "is_historical"):
                    hist.append((dev, names[(dev, int(one(m, "alias")))], int(one(m, "timestamp")), metric_value(m)))
        check(len(hist) >= 5, "the outage's values arrive as historical DDATA: %d" % len(hist))
        times = [h[2] for h in hist]
        # From the last acknowledged value before the outage to the births after it (the
        # uplink tries again with back-off, so the births may come well after the broker).
        check(min(times) >= down_at - 15000 and max(times) <= replayed_at and max(times) >= up_at - 5000,
              "historical values are from the outage (%d..%d in %d..%d)" % (min(times), max(times), down_at, replayed_at))
        if not history:
            # Without a history file the memory queue sends what changed, by exception.
            keys = {(h[0], h[1]) for h in hist}
            check(("zrt4600a-dc-21", "v") in keys, "the memory queue replays the moving bus voltage")
            return
        # Equal to what the history file holds for the gap: every value, and nothing else.
        host.send_signal(signal.SIGTERM)
        host.wait(30)
        con = sqlite3.connect(db)
        acked = con.execute("SELECT acked_ms FROM uplink_ack").fetchone()
        check(acked is not None and acked[0] >= up_at - 1000, "the acknowledged time is kept in the history file")
        con.close()
        lo, hi = min(times), max(times)
        def utc(ms):
            return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + ".%03dZ" % (ms % 1000)
        export = subprocess.run([HOST, "export", "--history", db, "--format", "jsonl", "--from", utc(lo), "--to", utc(hi)],
                                capture_output=True, text=True)
        check(export.returncode == 0, "export: " + export.stderr)
        stored = {}
        for line in export.stdout.splitlines():
            r = json.loads(line)
            stored[(r["device_type"] + "-" + str(r["data_id"]), r["key"], parse_ms(r["time"]))] = r.get("value")
        got = {(dev, key, t): v for dev, key, t, v in hist}
        print("historical values received: %d, the history file's values in %s..%s: %d" % (len(got), utc(lo), utc(hi), len(stored)))
        missing = [k for k in stored if k not in got]
        wrong = [k for k in got if k in stored and not same(stored[k], got[k])]
        extra = [k for k in got if k not in stored]
        check(stored and not missing and not wrong and not extra,
              "historical values equal the history file's (%d): missing %s wrong %s extra %s"
              % (len(stored), missing[:3], wrong[:3], extra[:3]))
    finally:
        if host.poll() is None:
            host.kill()
        sub.stop()
        broker.stop()


class PlayedBroker:
    """An MQTT broker played over a socket, one connection at a time: it answers CONNECT,
    SUBSCRIBE and PUBLISH at QoS 1 and records what came. alias_max None: a broker that
    knows only MQTT 3.1.1 and refuses an MQTT 5 CONNECT; a number: an MQTT 5 broker whose
    CONNACK grants that many topic aliases."""

    def __init__(self, alias_max=None):
        self.alias_max = alias_max
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.levels = []      # the protocol level of each CONNECT
        self.publishes = []   # (connection, topic, alias, payload)
        self.stopped = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def stop(self):
        self.stopped = True
        self.thread.join(5)
        self.sock.close()

    def run(self):
        n = 0
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            n += 1
            conn.settimeout(0.2)
            try:
                self.serve(conn, n)
            except (OSError, ConnectionError):
                pass
            conn.close()

    def read(self, conn, count):
        data = b""
        while len(data) < count:
            try:
                chunk = conn.recv(count - len(data))
            except socket.timeout:
                if self.stopped:
                    raise ConnectionError("stopped")
                continue
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def packet(self, conn):
        head = self.read(conn, 1)[0]
        length, shift = 0, 0
        while True:
            b = self.read(conn, 1)[0]
            length |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        return head, self.read(conn, length)

    @staticmethod
    def varint(body, at):
        value, shift = 0, 0
        while True:
            b = body[at]
            at += 1
            value |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return value, at

    def serve(self, conn, n):
        head, body = self.packet(conn)
        level = body[6]
        self.levels.append(level)
        v5 = level == 5
        if v5 and self.alias_max is None:
            conn.sendall(b"\x20\x02\x00\x01")  # 3.1.1: unacceptable protocol version
            return
        if v5:
            props = b"\x22" + struct.pack(">H", self.alias_max)
            conn.sendall(bytes([0x20, 3 + len(props), 0, 0, len(props)]) + props)
        else:
            conn.sendall(b"\x20\x02\x00\x00")
        while True:
            head, body = self.packet(conn)
            kind = head >> 4
            if kind == 3:
                qos = (head >> 1) & 3
                tl = struct.unpack(">H", body[:2])[0]
                topic = body[2:2 + tl].decode()
                at = 2 + tl
                mid = body[at:at + 2] if qos else b""
                at += 2 if qos else 0
                alias = None
                if v5:
                    plen, at = self.varint(body, at)
                    end = at + plen
                    while at < end:
                        pid = body[at]
                        if pid != 0x23:
                            break  # the uplink sends no other PUBLISH property
                        alias = struct.unpack(">H", body[at + 1:at + 3])[0]
                        at += 3
                    at = end
                self.publishes.append((n, topic, alias, body[at:]))
                if qos:
                    conn.sendall(b"\x40\x02" + mid)
            elif kind == 8:
                mid = body[:2]
                conn.sendall((b"\x90\x04" + mid + b"\x00\x01") if v5 else (b"\x90\x03" + mid + b"\x01"))
            elif kind == 12:
                conn.sendall(b"\xd0\x00")
            elif kind == 14:
                return


def case_protocol(work):
    # A broker that knows only MQTT 3.1.1: refused once, the uplink connects over 3.1.1 at
    # once and publishes its topics in full.
    old = PlayedBroker(alias_max=None)
    host, out, err = run_host(work, ["--uplink", "mqtt://127.0.0.1:%d" % old.port], history=False)
    try:
        wait_for(lambda: sum(1 for p in old.publishes if "/DDATA/" in p[1]) >= 3, 60, "DDATA over MQTT 3.1.1")
        check(old.levels[:2] == [5, 4], "MQTT 5 first, then 3.1.1: %s" % old.levels)
        said = open(err).read()
        check(said.count("does not speak MQTT 5") == 1, "the fall-back is said once: " + said)
        check("trying again" not in said, "the fall-back is no failure: " + said)
        check(all(p[1].startswith("spBv1.0/") and p[2] is None for p in old.publishes),
              "MQTT 3.1.1 topics go in full, without aliases")
        check(any("/NBIRTH/" + NODE in p[1] for p in old.publishes), "the NBIRTH went over MQTT 3.1.1")
    finally:
        host.kill()
        host.wait()
        old.stop()

    # An MQTT 5 broker granting two aliases: the first DDATA of a device names topic and
    # alias, the later ones the alias alone; births go in full; no more than two aliases.
    new = PlayedBroker(alias_max=2)
    with open(os.path.join(SOURCE, "examples", "plant.json")) as f:
        plant = json.load(f)
    plant["steps"] = [{"cycle": c, "set": {"dc[0].v": 53.5 + (c % 2) * 0.5, "dc[1].v": 53.0 + (c % 2) * 0.5,
                                            "ac[0].ia": 35.0 + (c % 2)}} for c in range(1, 200)]
    plant_path = os.path.join(work, "moving-plant.json")
    with open(plant_path, "w") as f:
        json.dump(plant, f)
    host, out, err = run_host(work, ["--uplink", "mqtt://127.0.0.1:%d" % new.port, "--plant", plant_path],
                              name="host5", history=False)
    try:
        wait_for(lambda: sum(1 for p in new.publishes if p[1] == "" ) >= 4, 60, "DDATA by alias alone")
        check(new.levels[:1] == [5], "an MQTT 5 broker is spoken to in MQTT 5: %s" % new.levels)
        set_by = {}
        bad = []
        full_ddata = set()
        for conn, topic, alias, payload in list(new.publishes):
            if topic and "/DDATA/" not in topic and alias is not None:
                bad.append("a birth or death with an alias: %s" % topic)
            if topic and alias is not None:
                if alias in set_by.values() and set_by.get(topic) != alias:
                    bad.append("alias %d set twice" % alias)
                set_by[topic] = alias
            elif topic and "/DDATA/" in topic:
                full_ddata.add(topic)
            elif not topic:
                if alias not in set_by.values():
                    bad.append("alias %s used before it was set" % alias)
        check(not bad, "topic aliases: %s" % bad[:3])
        check(sorted(set_by.values()) == [1, 2], "two aliases, as the broker granted: %s" % set_by)
        check(all("/DDATA/" in t for t in set_by), "aliases go to DDATA topics: %s" % set_by)
        check(full_ddata and not (full_ddata & set(set_by)),
              "the DDATA topics beyond the two go in full: %s" % sorted(full_ddata))
        # A payload sent by alias decodes like any other.
        by_alias = [p[3] for p in new.publishes if p[1] == ""]
        check(all(decode(b).get("metrics") for b in by_alias[:5]), "DDATA by alias carries its metrics")
    finally:
        host.kill()
        host.wait()
        new.stop()


def parse_ms(text):
    import calendar
    base = calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S"))
    return base * 1000 + int(text[20:23])


def same(a, b):
    if a is None or b is None:
        return a is None and b is None
    if isinstance(b, bool):
        return float(a) == (1.0 if b else 0.0)
    return abs(float(a) - float(b)) <= 1e-3 * max(1.0, abs(float(a)))


def main():
    for tool in ("mosquitto", "mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "protoc", "openssl"):
        if not shutil.which(tool):
            print("missing %s: run scripts/install-deps.sh" % tool)
            return 1
    work = tempfile.mkdtemp(prefix="uplink-test-")
    # mosquitto started as root runs as its own user: it reads the files made here.
    os.chmod(work, 0o755)
    os.umask(0o022)
    try:
        {"settings": case_settings, "session": case_session, "faults": case_faults, "replay": case_replay, "protocol": case_protocol,
         "replay_memory": lambda w: case_replay(w, history=False)}[CASE](work)
    except AssertionError as e:
        failures.append(str(e))
        print("FAIL:", e)
    if failures:
        print("%d failures; work files in %s" % (len(failures), work))
        for name in sorted(os.listdir(work)):
            if name.endswith(".err"):
                print("== " + name)
                print(open(os.path.join(work, name)).read()[-3000:])
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
