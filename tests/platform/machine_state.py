#!/usr/bin/env python3
"""Records, then compares, what the time and file tests must never change: the clock (against the
boot-time clock, within two seconds), the /etc/localtime link itself, /etc/timezone, the names in /etc
(but the account files other suites' tools rewrite), /usr/share/zoneinfo and zone sources in /tmp.

    machine_state.py record FILE | machine_state.py compare FILE
"""
import json, os, sys, time


def read(path):
    return open(path, errors="replace").read() if os.path.exists(path) else None


def state():
    link = os.lstat("/etc/localtime")
    accounts = ("passwd", "group", "shadow", "gshadow", "subuid", "subgid", ".pwd.lock")
    return {
        "clock": time.clock_gettime(time.CLOCK_REALTIME) - time.clock_gettime(time.CLOCK_BOOTTIME),
        "localtime": [link.st_ino, link.st_mtime_ns, os.readlink("/etc/localtime")
                      if os.path.islink("/etc/localtime") else read("/etc/localtime")],
        "timezone": read("/etc/timezone"),
        "etc": sorted(n for n in os.listdir("/etc") if not n.startswith(accounts)),
        "zoneinfo": sorted(f"{d}/{n} {os.lstat(os.path.join(d, n)).st_mtime_ns}"
                           for d, subdirs, files in os.walk("/usr/share/zoneinfo")
                           for n in files + subdirs),
        "tmp": sorted(n for n in os.listdir("/tmp") if n.startswith("kv_custom_timezone")),
    }


if len(sys.argv) != 3 or sys.argv[1] not in ("record", "compare"):
    sys.exit(__doc__)
if sys.argv[1] == "record":
    sys.exit(json.dump(state(), open(sys.argv[2], "w")))
before, now = json.load(open(sys.argv[2])), state()
changed = ["clock"] if abs(now.pop("clock") - before.pop("clock")) > 2 else []
changed += [key for key in before if before[key] != now[key]]
sys.exit("\n".join(f"changed: {key}: before {before.get(key)!r}, after {now.get(key)!r}"[:2000] for key in changed) or None)
