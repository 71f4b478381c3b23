"""A host that leaves while the library logs: a slow log handler, twenty fixes and an upload
under way as the interpreter ends.   exit_host.py <endpoint> <key>"""
import sys
import time

import lumvex


def note(level: lumvex.LogLevel, line: str) -> None:
    time.sleep(0.001)  # a handler that takes a while keeps a line under way at the exit
    sys.stderr.write(f"{level.name}: {line}\n")


lumvex.set_log_handler(note)
lumvex.Tracker(sys.argv[2], identifier="org.example.Exit", version="1.0", endpoint=sys.argv[1],
               debug_log=True).start()
for n in range(1, 21):
    lumvex.add_trace(n, n + 0.5)
lumvex.force_push(lambda error: sys.stderr.write(f"upload: {error}\n"))  # may come after the exit
