#!/usr/bin/env python3
"""A tracker in Python: samples positions from gpsd every 10 s and uploads them; on SIGTERM,
Ctrl-C or after --seconds it shuts the library down with a last upload.

    tracker.py [--endpoint URL] [--key KEY] [--gpsd HOST:PORT] [--seconds N]
"""
import argparse
import signal
import time

import lumvex


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--endpoint", default="http://127.0.0.1:8710/")
    parser.add_argument("--key", default="python-example-key")
    parser.add_argument("--gpsd", default="localhost:2947")
    parser.add_argument("--seconds", type=float, default=float("inf"))
    args = parser.parse_args()

    def note(level: lumvex.LogLevel, line: str) -> None:  # on the library's threads
        if level <= lumvex.LogLevel.WARNING:
            print(f"lumvex {level.name.lower()}: {line}", flush=True)

    lumvex.set_log_handler(note)
    host, port = args.gpsd.rsplit(":", 1)
    lumvex.use_gpsd(host, port)
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # ends the loop like Ctrl-C
    tracker = lumvex.Tracker(args.key, identifier="org.example.PyTracker", version="1.0.0",
                             endpoint=args.endpoint, debug_log=True)
    try:
        with tracker:  # starts; on leaving, shuts down with a last upload
            end = time.monotonic() + args.seconds
            while time.monotonic() < end:  # back in Python each second, for the signals
                lumvex.RunLoop.current().run_for(min(1.0, end - time.monotonic()))
    except KeyboardInterrupt:
        pass
    except lumvex.StartRefused as refusal:
        print(f"not started: {refusal.reason}")
        return 1
    print(f"shutdown: {tracker.outcome.name}", flush=True)
    return 2 if tracker.outcome == lumvex.ShutdownOutcome.KEPT else 0


if __name__ == "__main__":
    raise SystemExit(main())
