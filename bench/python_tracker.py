#!/usr/bin/python3
"""The sampling job of the library written as a host's developer would write it in Python with
python3-gps, for bench/compare-tracker.sh to set its wakeups beside the library's: every 10 s
keep one fix from gpsd and append it as one line to a private file, flushed to disk
(fdatasync, as the library flushes a stored fix). A fix is new when its time differs from the
last one kept.

  --mode watch  (default) the usual script: gps.gps(mode=WATCH_ENABLE) and a loop over the
                reports, keeping the first fix that comes 10 s or more after the last one kept.
  --mode poll   the library's way: every 10 s connect, watch, ?POLL, take the fix from the
                answer, hang up. A request that gets no answer within 5 s is given up until
                the next 10 s.

Runs until it is killed; in watch mode also until gpsd hangs up.
Run with Debian's interpreter, /usr/bin/python3, which has the gps module.
"""

import argparse
import os
import sys
import time

import gps

INTERVAL = 10.0
REQUEST_TIMEOUT = 5.0


def open_private(path):
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o600)


def append(fd, fix):
    os.write(fd, ("%s,%.7f,%.7f\n" % (fix["time"], fix["lat"], fix["lon"])).encode("ascii"))
    os.fdatasync(fd)


def has_fix(report):
    return report.get("mode", 0) >= 2 and "lat" in report and "lon" in report and "time" in report


def watch(host, port, fd):
    session = gps.gps(host=host, port=port, mode=gps.WATCH_ENABLE)
    last_kept = None
    last_time = None
    for report in session:
        if report["class"] != "TPV" or not has_fix(report):
            continue
        now = time.monotonic()
        if last_kept is not None and now - last_kept < INTERVAL:
            continue
        if report["time"] != last_time:
            append(fd, report)
            last_time = report["time"]
        last_kept = now


def request(host, port):
    """One exchange with gpsd: the fix of its ?POLL answer, or None."""
    session = gps.gps(host=host, port=port, mode=gps.WATCH_ENABLE)
    try:
        session.send("?POLL;")
        deadline = time.monotonic() + REQUEST_TIMEOUT
        while session.waiting(max(0.0, deadline - time.monotonic())):
            if session.read() == -1:
                return None
            if session.data.get("class") == "POLL":
                fixes = [tpv for tpv in session.data.get("tpv", []) if has_fix(tpv)]
                return fixes[0] if fixes else None
        return None
    finally:
        session.close()


def poll(host, port, fd):
    last_time = None
    due = time.monotonic()
    while True:
        try:
            fix = request(host, port)
        except OSError as error:
            print("gpsd: %s" % error, file=sys.stderr)
            fix = None
        if fix is not None and fix["time"] != last_time:
            append(fd, fix)
            last_time = fix["time"]
        due += INTERVAL
        time.sleep(max(0.0, due - time.monotonic()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", choices=("watch", "poll"), default="watch")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", default=gps.GPSD_PORT)
    parser.add_argument("--out", required=True, help="the file the fixes are appended to")
    args = parser.parse_args()
    fd = open_private(args.out)
    (watch if args.mode == "watch" else poll)(args.host, str(args.port), fd)


if __name__ == "__main__":
    main()
