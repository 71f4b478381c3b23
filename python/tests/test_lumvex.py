"""The Python package against the real library, collector and gpsd."""
import base64
import os
import subprocess
import sys

import pytest

import lumvex
from conftest import program


def test_refusals_raise_with_their_reason(collector):
    with pytest.raises(lumvex.EmptyApiKey) as empty:
        lumvex.Tracker("", endpoint=collector.url).start()
    assert 'apiKey("")' in empty.value.reason
    with pytest.raises(lumvex.StartRefused) as endpoint:
        lumvex.Tracker("k", endpoint="collector.example.com/").start()
    assert endpoint.value.code == lumvex.Error.START_REFUSED
    assert "not an absolute http or https URL" in endpoint.value.reason
    with lumvex.Tracker("k", endpoint=collector.url, identifier="org.example.Refusals") as tracker:
        with pytest.raises(lumvex.AlreadyStarted):
            lumvex.Tracker("k", endpoint=collector.url).start()
    assert not lumvex.is_started()
    assert tracker.outcome == lumvex.ShutdownOutcome.DELIVERED  # the description, once


def test_a_tracker_uploads_its_own_fixes_and_gpsds(collector, gpsd):
    lines = []
    told = []
    lumvex.set_log_handler(lambda level, line: lines.append((level, line)))
    lumvex.use_gpsd("127.0.0.1", gpsd.port)
    with lumvex.Tracker("py-key", identifier="org.example.PyTest", version="2.0", endpoint=collector.url,
                        debug_log=True) as tracker:
        tracker.add_trace(1.5, 2.5)
        tracker.force_push(told.append)
        lumvex.RunLoop.current().run_for(15)  # the first sampling tick comes 10 s after the start
    lumvex.set_log_handler(None)
    assert told == [None]
    assert tracker.outcome == lumvex.ShutdownOutcome.DELIVERED
    latitudes = collector.latitudes("py-key")
    assert 1.5 in latitudes and any(52.5 < latitude < 52.6 for latitude in latitudes), latitudes
    versions = [u["body"]["devices_infos"].get("app_version") for u in collector.uploads("py-key")]
    assert "2.0" in versions
    assert (lumvex.LogLevel.INFO, "Location source") in [(level, line.split(" ", 1)[1][:15]) for level, line in lines]


def stored_latitudes(store) -> set:
    path = store / "backup.lmx"
    lines = path.read_text().split() if path.exists() else []
    return {float(base64.b64decode(line).decode().split(";")[1]) for line in lines}


def test_a_host_that_exits_while_the_library_logs_loses_nothing(collector, home):
    for run in range(50):
        env = dict(os.environ, XDG_CACHE_HOME=str(home / str(run)))
        key = f"exit-{run}"
        result = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "exit_host.py"),
                                 collector.url, key], env=env, capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, f"run {run}: {result.returncode}\n{result.stderr[-2000:]}"
        kept = stored_latitudes(home / str(run) / "org.example.Exit") | set(collector.latitudes(key))
        assert kept == {float(n) for n in range(1, 21)}, f"run {run}"


def test_the_c_example_uploads(collector, home):
    result = subprocess.run([program("LUMVEX_C_EXAMPLE"), collector.url, "c-key"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert collector.latitudes("c-key") == [52.5163]


def test_the_python_example_uploads(collector, gpsd, home):
    result = subprocess.run([sys.executable, program("LUMVEX_PYTHON_EXAMPLE"), "--endpoint", collector.url,
                             "--key", "tracker-key", "--gpsd", f"127.0.0.1:{gpsd.port}", "--seconds", "12"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "shutdown: DELIVERED" in result.stdout, result.stdout + result.stderr
    assert any(52.5 < latitude < 52.6 for latitude in collector.latitudes("tracker-key"))


def test_a_tracker_keeps_fixes_offline_within_its_bound_and_tells_what_it_dropped(collector):
    offline = dict(identifier="org.example.Offline", push_format=lumvex.PushFormat.LOCATION_ONLY,
                   keep_offline=(30, 2), max_batch_size=1)
    with lumvex.Tracker("offline-key", endpoint="http://127.0.0.1:9/", **offline) as tracker:
        for n in range(1, 6):
            tracker.add_trace(n, 0.5)
    assert tracker.outcome == lumvex.ShutdownOutcome.KEPT
    count, since = lumvex.dropped_fixes()
    assert count == 3 and since > 0
    with lumvex.Tracker("offline-key", endpoint=collector.url, **offline) as tracker:
        pass
    assert tracker.outcome == lumvex.ShutdownOutcome.DELIVERED
    batches = [[float(fix["lat"]) for fix in upload["body"]["locations"]] for upload in collector.uploads("offline-key")]
    assert batches == [[4.0], [5.0]]
