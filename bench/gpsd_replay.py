#!/usr/bin/python3
"""A gpsd of its own fed from a recorded NMEA log, for bench/compare-tracker.sh.

gpsd is started as the tests' harness starts it: in the foreground, reading a raw
pseudo-terminal as its receiver before any client asks (-n), never writing to it (-b), at a
fixed speed, serving clients on 127.0.0.1 at the given port. Once gpsd reports the log's
first fix, this prints "ready" on standard output.

Then the receiver says one epoch of the log per second, as a real one does, round and round,
with each epoch's time and date set to now: every second brings a new fix, as it would for a
tracker on the move. With --hold it says nothing after the first epoch and gpsd keeps that
one fix, which is what idle_cost_bench's own gpsd does.

Ends, and ends gpsd, at SIGTERM or SIGINT; ends when gpsd does.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import time
import tty


def read_epochs(path):
    """The log's sentences grouped by epoch: a new epoch starts at each GGA."""
    epochs = []
    with open(path, encoding="ascii") as log:
        for line in log:
            line = line.strip()
            if not line.startswith("$"):
                continue
            if line[3:6] == "GGA" or not epochs:
                epochs.append([])
            epochs[-1].append(line)
    return epochs


def stamped(sentence, now):
    """`sentence` with its UTC time (and RMC's date) set to `now`, checksum recomputed."""
    body = sentence[1:].split("*", 1)[0]
    fields = body.split(",")
    kind = fields[0][2:]
    clock = time.strftime("%H%M%S", now) + ".00"
    if kind in ("GGA", "RMC") and len(fields) > 1:
        fields[1] = clock
    if kind == "RMC" and len(fields) > 9:
        fields[9] = time.strftime("%d%m%y", now)
    body = ",".join(fields)
    checksum = 0
    for char in body:
        checksum ^= ord(char)
    return "$%s*%02X\r\n" % (body, checksum)


def write_epoch(master, epoch):
    now = time.gmtime()
    os.write(master, "".join(stamped(s, now) for s in epoch).encode("ascii"))


def wait_for_fix(port, master, first_epoch, deadline):
    """Watches gpsd, says the first epoch and waits for gpsd to report a fix from it."""
    while True:
        try:
            client = socket.create_connection(("127.0.0.1", port), timeout=1)
            break
        except OSError:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
    with client:
        client.settimeout(max(0.1, deadline - time.monotonic()))
        client.sendall(b'?WATCH={"enable":true,"json":true};\n')
        buffer = b""
        said = False
        try:
            while True:
                while b"\n" not in buffer:
                    chunk = client.recv(4096)
                    if not chunk:
                        return False
                    buffer += chunk
                line, buffer = buffer.split(b"\n", 1)
                try:
                    report = json.loads(line)
                except ValueError:
                    continue
                # gpsd passes on what the receiver says only once it has confirmed the watch.
                if report.get("class") == "WATCH" and not said:
                    write_epoch(master, first_epoch)
                    said = True
                elif said and report.get("class") == "TPV" and report.get("mode", 0) >= 2:
                    return True
        except OSError:
            return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("log", help="NMEA log, e.g. tests/fixtures/nmea/walk.nmea")
    parser.add_argument("--port", type=int, default=2947)
    parser.add_argument("--hold", action="store_true", help="say the first epoch only")
    args = parser.parse_args()

    epochs = read_epochs(args.log)
    if not epochs:
        sys.exit("no NMEA sentences in " + args.log)
    # Another gpsd on the port would answer in place of ours.
    try:
        with socket.create_server(("127.0.0.1", args.port)):
            pass
    except OSError as error:
        sys.exit("port %d: %s" % (args.port, error))
    master, slave = os.openpty()
    # Raw, as a serial line: no echo, no line editing. The slave stays open here so that the
    # terminal outlives gpsd closing and reopening it.
    tty.setraw(slave)
    gpsd = subprocess.Popen(
        ["gpsd", "-N", "-n", "-b", "-s", "38400", "-S", str(args.port), os.ttyname(slave)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def stop(_signum, _frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        if (not wait_for_fix(args.port, master, epochs[0], time.monotonic() + 20)
                or gpsd.poll() is not None):
            sys.exit("gpsd did not report the log's first fix")
        print("ready", flush=True)
        next_epoch = time.monotonic() + 1
        index = 1
        while gpsd.poll() is None:
            time.sleep(max(0.0, next_epoch - time.monotonic()))
            next_epoch += 1
            if not args.hold:
                write_epoch(master, epochs[index % len(epochs)])
                index += 1
        sys.exit("gpsd ended with status %d" % gpsd.returncode)
    finally:
        if gpsd.poll() is None:
            gpsd.terminate()
            try:
                gpsd.wait(timeout=5)
            except subprocess.TimeoutExpired:
                gpsd.kill()
                gpsd.wait()


if __name__ == "__main__":
    main()
