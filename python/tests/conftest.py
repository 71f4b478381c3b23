"""Real parts for the package's tests: the development collector on a port the system
chooses, gpsd reading a recorded walk from a pseudo-terminal, and a private cache home.
ctest passes the programs' paths in the environment (python/CMakeLists.txt)."""
import json
import os
import pty
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

import pytest

# Before the library first looks for its store, in this process and in the hosts it runs.
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="lumvex-pytest-cache-")


def program(variable: str) -> str:
    path = os.environ.get(variable, "")
    if not path:
        pytest.skip(f"{variable} is not set (ctest sets it)")
    return path


class Collector:
    def __init__(self, directory: str) -> None:
        self.process = subprocess.Popen(
            [program("LUMVEX_COLLECTOR"), "--port", "0", "--db", os.path.join(directory, "c.sqlite"), "--quiet"],
            stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()  # "lumvex-collector listening on http://127.0.0.1:<port>/"
        self.url = line.strip().split(" ")[-1]
        assert self.url.startswith("http://127.0.0.1:"), line

    def uploads(self, key: str) -> list:
        with urllib.request.urlopen(self.url + "uploads?key=" + urllib.parse.quote(key), timeout=20) as answer:
            return json.load(answer)

    def latitudes(self, key: str) -> list:
        return sorted(float(fix["lat"]) for upload in self.uploads(key) for fix in upload["body"]["locations"])

    def close(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=20)


@pytest.fixture
def collector(tmp_path):
    server = Collector(str(tmp_path))
    yield server
    server.close()


class Gpsd:
    """gpsd on a free port, fed the recorded walk again and again, a line every 50 ms, as a
    receiver on a serial line would."""

    def __init__(self) -> None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = str(probe.getsockname()[1])
        self.master, slave = pty.openpty()
        device = os.ttyname(slave)
        self.process = subprocess.Popen(["/usr/sbin/gpsd", "-N", "-n", "-b", "-s", "38400", "-S", self.port, device],
                                        stderr=subprocess.DEVNULL)
        self.stopping = threading.Event()
        with open(program("LUMVEX_NMEA")) as track:
            self.lines = [line.strip() + "\r\n" for line in track if line.strip()]
        self.feeder = threading.Thread(target=self.feed, daemon=True)
        self.feeder.start()
        deadline = time.monotonic() + 20
        while True:  # listening once a connection is taken
            try:
                socket.create_connection(("127.0.0.1", int(self.port)), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, "gpsd did not start"
                self.stopping.wait(0.05)

    def feed(self) -> None:
        while not self.stopping.is_set():
            for line in self.lines:
                if self.stopping.wait(0.05):
                    return
                os.write(self.master, line.encode())

    def close(self) -> None:
        self.stopping.set()
        self.feeder.join()
        self.process.terminate()
        self.process.wait(timeout=20)
        os.close(self.master)


@pytest.fixture
def gpsd():
    server = Gpsd()
    yield server
    server.close()


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A cache home of its own for the hosts a test runs."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return tmp_path / "cache"
