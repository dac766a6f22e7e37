#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets under corpus/<target>/, from the requests and frames
the QtTest suites send. Run again after changing it; the files are checked in."""
import json
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

hello = {"action": "client-hello", "log-path": "/tmp/t/h.log", "version": "1.4.9", "request-id": 1}
newer = {"action": "client-hello", "log-path": "/tmp/t/h.log", "version": "9.9.9"}
start = {"action": "start", "process-id": "p", "executable": "/usr/bin/helper",
         "arguments": ["--print", "hello"], "working-dir": "/tmp", "auto-restart": True,
         "max-restart-attempts": 2, "restart-delay-ms": 100, "session-id": 1,
         "environment": {"K": "V"}, "privileges": "user"}
# The target runs /bin/cat for an executable whose length is a multiple of three, /bin/true for
# one more, and a program that does not exist for two more.
quick = dict(start, executable="/bin/tr", **{"process-id": "q"})
missing = dict(start, executable="/missing123", **{"process-id": "gone", "auto-restart": False})
assert [len(r["executable"]) % 3 for r in (start, quick, missing)] == [0, 1, 2]
requests = {
    "hello": [hello],
    "hello_newer": [newer],
    "heartbeat": [{"action": "heartbeat", "request-id": "h1"}],
    "start_stop": [start, {"action": "status", "process-id": "p"}, {"action": "stop", "process-id": "p"}],
    "start_kill": [start, {"action": "kill", "process-id": "p"}, {"action": "list"}],
    "start_restart": [start, {"action": "restart", "process-id": "p"}, {"action": "status", "process-id": "p"}],
    "start_stdin": [start, {"action": "stdin", "process-id": "p", "data": "abc\n"}],
    "start_missing": [missing, {"action": "list"}],
    "start_twice": [start, start],
    "start_quick": [quick, {"action": "status", "process-id": "q"}, {"action": "restart", "process-id": "q"}],
    "start_bad": [{"action": "start", "process-id": 5, "executable": "x"},
                  {"action": "start", "process-id": "p", "executable": "x\u0000y"},
                  {"action": "start", "process-id": "p", "executable": "x", "restart-delay-ms": -1}],
    "clear_logs": [hello, {"action": "clear-logs"}],
    "tun_core": [dict(start, **{"process-id": "sing-box-tun",
                                "tun-dns-override": {"address": "1.1.1.1", "iface": "tarn-tun"}}),
                 {"action": "stop", "process-id": "sing-box-tun"}],
    "unknown": [{"action": "reboot"}, {"action": "restart"}],
}


def write(target, files):
    path = os.path.join(HERE, "corpus", target)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, data in files.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def compact(obj):
    return json.dumps(obj, separators=(",", ":")).encode()


def main():
    daemon = {}
    for name, reqs in requests.items():
        # The second and third clients act on the first client's process.
        lines = [compact(r) for r in reqs]
        if name == "start_stop":
            lines.append(b"1 " + compact({"action": "stop", "process-id": "p"}))
        if name == "start_kill":
            lines.append(b"2 " + compact({"action": "status", "process-id": "p"}))
        daemon[name] = b"\n".join(lines) + b"\n"
    daemon["bad_json"] = b"{\"action\": \"heartbeat\"\n[1,2]\n"
    write("fuzz_daemon_requests", daemon)

    starts = {"full": start, "missing": missing, "minimal": {"process-id": "p", "executable": "x"},
             "nul": {"process-id": "p", "executable": "x", "arguments": ["a\u0000"]},
             "negative": {"process-id": "p", "executable": "x", "max-restart-attempts": -3},
             "types": {"process-id": "p", "executable": "x", "restart-delay-ms": 1.5, "arguments": "a"}}
    write("fuzz_processinfo", {name: compact(request) for name, request in starts.items()})

    whole = b"\x00"  # no chunk sizes: the stream at once
    split = b"\x03\x00\x02\x06"  # chunks of 1, 3 and 7 bytes
    write("fuzz_frame_reader", {
        "hello": whole + frame(compact(hello)),
        "two_split": split + frame(compact(start)) + frame(compact({"action": "heartbeat"})),
        "not_object": whole + frame(b"[1,2]") + frame(compact({"action": "list"})),
        "bad_json": split + frame(b"{\"action\":") + frame(compact({"action": "stop", "process-id": "p"})),
        "oversized": whole + struct.pack(">I", 16 * 1024 * 1024 + 1) + b"{}",
        "partial": split + frame(compact(hello))[:-3],
        "escapes": whole + frame(json.dumps({"data": "\u00e9\u4e2d\ud83d\ude00\t\"\\\u0001 \ud800"}).encode()),
        "numbers": whole + frame(b'{"a":1e300,"b":-0,"c":9007199254740993,"d":[0.1,true,null,{}]}'),
    })


main()
