#!/usr/bin/env python3
"""Records, then compares, what the time and file tests must never change on this machine:
the clock (against the boot-time clock, to within two seconds), the system zone (the
/etc/localtime link itself and /etc/timezone), the names in /etc and the whole
/usr/share/zoneinfo tree, and no zone-compiler source left in /tmp.

    machine_state.py record FILE     # before the tests
    machine_state.py compare FILE    # after them: exit status 1 and the differences
"""
import hashlib
import json
import os
import sys
import time

# Files that account tools rewrite while other suites run (lock files, backups).
ACCOUNT_FILES = ("passwd", "group", "shadow", "gshadow", "subuid", "subgid", ".pwd.lock")


def tree_digest(top):
    digest = hashlib.sha256()
    for directory, subdirectories, files in os.walk(top):
        subdirectories.sort()
        for name in sorted(files) + subdirectories:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            digest.update(f"{path} {st.st_mode} {st.st_size} {st.st_mtime_ns}\n".encode())
    return digest.hexdigest()


def state():
    localtime = os.lstat("/etc/localtime")
    try:
        with open("/etc/timezone", errors="replace") as f:
            timezone = f.read()
    except FileNotFoundError:
        timezone = None
    etc_names = sorted(n for n in os.listdir("/etc") if not n.startswith(ACCOUNT_FILES))
    return {
        "clock_offset": time.clock_gettime(time.CLOCK_REALTIME)
        - time.clock_gettime(time.CLOCK_BOOTTIME),
        "localtime": [localtime.st_ino, localtime.st_mode, localtime.st_mtime_ns,
                      os.readlink("/etc/localtime") if os.path.islink("/etc/localtime") else ""],
        "timezone": timezone,
        "etc_names": etc_names,
        "zoneinfo": tree_digest("/usr/share/zoneinfo"),
        "zone_sources_in_tmp": sorted(n for n in os.listdir("/tmp")
                                      if n.startswith("kv_custom_timezone")),
    }


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("record", "compare"):
        sys.exit(__doc__)
    now = state()
    if sys.argv[1] == "record":
        with open(sys.argv[2], "w") as f:
            json.dump(now, f)
        return
    with open(sys.argv[2]) as f:
        before = json.load(f)
    differences = []
    if abs(now.pop("clock_offset") - before.pop("clock_offset")) > 2.0:
        differences.append("the clock was set")
    for key, value in before.items():
        if now[key] != value:
            differences.append(f"{key}: before {value!r}, after {now[key]!r}")
    for line in differences:
        print("changed:", line)
    sys.exit(1 if differences else 0)


if __name__ == "__main__":
    main()
