"""LumvexSdk for Python: location tracking for a host without a bundle.

A thin, pure-Python layer over the library's C interface (<LumvexSdk/lumvex.h>) with
ctypes. One library runs per process; ``Tracker`` starts it as a context manager and shuts
it down, with a last upload, when the block ends::

    import lumvex

    with lumvex.Tracker("my-api-key", identifier="org.example.Tracker", version="1.0") as tracker:
        tracker.add_trace(52.5163, 13.3777)
        lumvex.RunLoop.current().run_for(60)   # sampling and uploads run while the loop runs
    print(tracker.outcome)                      # ShutdownOutcome.DELIVERED, ...

Callbacks (the log handler, upload outcomes) run on the library's own threads, not the
caller's: keep them short, and do not start or stop the library from them.
"""
from __future__ import annotations

import atexit
import ctypes
import enum
import itertools
import threading
from typing import Callable, Dict, Optional, Tuple

from . import _native

__all__ = [
    "AlreadyStarted", "EmptyApiKey", "Error", "LogLevel", "LumvexError", "PushFormat", "PushRegion",
    "RunLoop", "ShutdownOutcome", "StartRefused", "Tracker", "add_trace", "error_text", "force_push",
    "is_started", "set_caches_directory", "set_location_services_enabled", "set_log_handler",
    "set_main_bundle_directory", "use_geoclue", "use_gpsd", "version",
]

__version__ = "1.0.0"

_lib = _native.lib


class Error(enum.IntEnum):
    """The C interface's error codes; ``error_text`` gives each one's text."""
    OK = 0
    START_REFUSED = 1
    ALREADY_STARTED = 2
    INVALID_EMPTY_API_KEY = 3
    PUSH_FAILED = 4
    JSON_SERIALIZATION_FAILED = 5
    INVALID_ARGUMENT = 6
    OUT_OF_MEMORY = 7


class PushFormat(enum.IntEnum):
    LOCATION_AND_DEVICE_INFO = 0
    LOCATION_ONLY = 1
    DEVICE_INFO_ONLY = 2


class PushRegion(enum.IntEnum):
    EU = 0
    US = 1


class LogLevel(enum.IntEnum):
    ERROR = 0
    WARNING = 1
    INFO = 2
    DEBUG = 3


class ShutdownOutcome(enum.IntEnum):
    """What a shutdown did with what was stored."""
    NOTHING_TO_SEND = 0
    DELIVERED = 1
    KEPT = 2  # not delivered within the bound: stored for the next run


class LumvexError(Exception):
    """A refusal of the library's; ``code`` is an ``Error``, ``reason`` says why."""

    def __init__(self, code: Error, reason: str = "") -> None:
        super().__init__(reason or error_text(code))
        self.code = code
        self.reason = reason or error_text(code)


class StartRefused(LumvexError):
    """The library did not start; ``reason`` names the cause (an endpoint, the caches directory...)."""


class AlreadyStarted(StartRefused):
    pass


class EmptyApiKey(StartRefused):
    pass


PushCallback = Callable[[Optional[Error]], None]
"""Gets None after a delivered upload, else why it failed."""
LogHandler = Callable[[LogLevel, str], None]


def error_text(code: int) -> str:
    return _lib.lumvex_error_text(int(code)).decode()


def _check(code: int) -> None:
    if code != Error.OK:
        raise LumvexError(Error(code))


def version() -> str:
    """The library's version, e.g. "1.0.0"."""
    return _lib.lumvex_version().decode()


# ---- Callbacks -------------------------------------------------------------------------
# One C function of each kind lives as long as the module; the Python callables are looked
# up by the number passed as the C side's user data, so that nothing the C side holds can
# be collected under it.

_lock = threading.Lock()
_push_callbacks: Dict[int, PushCallback] = {}
_numbers = itertools.count(1)
_log_handler: Optional[LogHandler] = None


@_native.PUSH_CALLBACK
def _on_push(code: int, number: Optional[int]) -> None:
    with _lock:
        callback = _push_callbacks.pop(number or 0, None)
    if callback is not None:
        callback(None if code == Error.OK else Error(code))


@_native.LOG_HANDLER
def _on_log(level: int, line: bytes, _: Optional[int]) -> None:
    handler = _log_handler
    if handler is not None:
        handler(LogLevel(level), line.decode("utf-8", "replace"))


def set_log_handler(handler: Optional[LogHandler]) -> None:
    """Sends the debug log to ``handler(level, line)`` instead of standard output; None
    restores standard output. Called on whichever thread logs, possibly several at once.
    Returns once no line is still inside the previous handler."""
    global _log_handler
    if handler is None:
        _lib.lumvex_set_log_handler(_native.LOG_HANDLER(), None)
        _log_handler = None
        return
    _log_handler = handler
    _lib.lumvex_set_log_handler(_on_log, None)


@atexit.register
def _leave() -> None:
    # Before the interpreter goes: a line or an upload's outcome that reached Python later
    # would find no interpreter to run on. Both calls wait for those under way.
    if _log_handler is not None:
        set_log_handler(None)
    _lib.lumvex_forget_push_callbacks()


# ---- Platform knobs (before the start) ---------------------------------------------------

def use_gpsd(host: str = "localhost", port: str = "2947") -> None:
    """Takes positions from gpsd at host:port."""
    _lib.lumvex_use_gpsd(host.encode(), str(port).encode())


def use_geoclue(desktop_id: str = "") -> None:
    """Takes positions from GeoClue, asking as ``desktop_id``."""
    _lib.lumvex_use_geoclue(desktop_id.encode())


def set_caches_directory(path: Optional[str]) -> None:
    """The base directory of the library's store; None for the default."""
    _lib.lumvex_set_caches_directory(path.encode() if path else None)


def set_main_bundle_directory(path: Optional[str]) -> None:
    _lib.lumvex_set_main_bundle_directory(path.encode() if path else None)


def set_location_services_enabled(enabled: bool) -> None:
    _lib.lumvex_set_location_services_enabled(1 if enabled else 0)


# ---- Fixes and uploads --------------------------------------------------------------------

def add_trace(latitude: float, longitude: float) -> None:
    """Stores a fix of the host's own (WGS 84 degrees), also while stopped."""
    _lib.lumvex_add_trace(float(latitude), float(longitude))


def force_push(callback: Optional[PushCallback] = None) -> None:
    """Uploads what is stored, later, and calls ``callback`` once on the library's upload
    thread. While stopped, or with nothing stored, it is never called."""
    if callback is None:
        _lib.lumvex_force_push(_native.PUSH_CALLBACK(), None)
        return
    with _lock:
        number = next(_numbers)
        _push_callbacks[number] = callback
    _lib.lumvex_force_push(_on_push, number)


def dropped_fixes() -> Tuple[int, int]:
    """What the offline store's bounds dropped so far: how many fixes, and since when (the
    first drop, in milliseconds since 1970; 0 when none)."""
    count = ctypes.c_uint64()
    since = ctypes.c_int64()
    _lib.lumvex_dropped_fixes(ctypes.byref(count), ctypes.byref(since))
    return count.value, since.value


def is_started() -> bool:
    return bool(_lib.lumvex_is_started())


# ---- The run loop ---------------------------------------------------------------------------

class RunLoop:
    """The run loop of one thread. The library's timers fire on the loop of the thread that
    started it, and only while that loop runs: ``run_for``, or driven from an event loop of
    the host's own (asyncio's ``add_reader`` on ``descriptor()``, a timer for
    ``next_timeout()``, then ``run_pending()``)."""

    def __init__(self, handle: int) -> None:
        self._handle = handle

    @classmethod
    def current(cls) -> "RunLoop":
        handle = _lib.lumvex_run_loop_current()
        if not handle:
            raise MemoryError("no run loop for this thread")
        return cls(handle)

    def descriptor(self) -> int:
        return _lib.lumvex_run_loop_descriptor(self._handle)

    def next_timeout(self) -> Optional[float]:
        """Seconds until work is due; None when only the descriptor needs watching."""
        milliseconds = _lib.lumvex_run_loop_next_timeout_ms(self._handle)
        return None if milliseconds < 0 else milliseconds / 1000.0

    def run_pending(self) -> None:
        _lib.lumvex_run_loop_run_pending(self._handle)

    def run_for(self, seconds: float) -> None:
        _lib.lumvex_run_loop_run_for(self._handle, int(seconds * 1000))

    def stop(self) -> None:
        """Ends ``run_for`` soon; safe from any thread."""
        _lib.lumvex_run_loop_stop(self._handle)


# ---- The tracker ------------------------------------------------------------------------------

_REFUSALS = {Error.ALREADY_STARTED: AlreadyStarted, Error.INVALID_EMPTY_API_KEY: EmptyApiKey}


class Tracker:
    """The library's configuration and lifecycle. As a context manager it starts on entry
    and shuts down on exit (stops sampling, uploads what is stored and waits at most
    ``shutdown_bound`` seconds), leaving the result in ``outcome``. Start and shut down on
    the thread whose run loop runs."""

    def __init__(self, api_key: str, *, identifier: Optional[str] = None, version: str = "",
                 endpoint: Optional[str] = None, push_frequency: int = 1440,
                 push_format: PushFormat = PushFormat.LOCATION_AND_DEVICE_INFO,
                 push_region: PushRegion = PushRegion.EU, debug_log: bool = False,
                 shutdown_bound: float = 20.0, keep_offline: Optional[Tuple[int, int]] = None,
                 max_batch_size: int = 0) -> None:
        self.api_key = api_key
        self.identifier = identifier
        self.version = version
        self.endpoint = endpoint
        self.push_frequency = push_frequency
        self.push_format = push_format
        self.push_region = push_region
        self.debug_log = debug_log
        self.shutdown_bound = shutdown_bound
        # (days, fixes) kept while uploads fail; None: only the trace file's last fixes.
        self.keep_offline = keep_offline
        self.max_batch_size = max_batch_size  # fixes per request from that store; 0: 1000
        self.outcome: Optional[ShutdownOutcome] = None

    def start(self) -> None:
        """Starts the library; raises ``StartRefused`` (or a subclass) with the reason."""
        config = _lib.lumvex_config_new()
        if not config:
            raise MemoryError("no configuration")
        try:
            _check(_lib.lumvex_config_set_api_key(config, self.api_key.encode()))
            if self.endpoint is not None:
                _check(_lib.lumvex_config_set_endpoint(config, self.endpoint.encode()))
            _check(_lib.lumvex_config_set_push_frequency(config, int(self.push_frequency)))
            _check(_lib.lumvex_config_set_push_format(config, int(self.push_format)))
            _check(_lib.lumvex_config_set_push_region(config, int(self.push_region)))
            _check(_lib.lumvex_config_set_debug_log(config, 1 if self.debug_log else 0))
            if self.keep_offline is not None or self.max_batch_size:
                days, fixes = self.keep_offline or (0, 0)
                _check(_lib.lumvex_config_keep_offline(config, int(days), int(fixes), int(self.max_batch_size)))
            if self.identifier:
                _check(_lib.lumvex_config_set_identity(config, self.identifier.encode(), self.version.encode()))
            reason = ctypes.create_string_buffer(1024)
            code = _lib.lumvex_start(config, reason, len(reason))
        finally:
            _lib.lumvex_config_free(config)
        if code != Error.OK:
            raise _REFUSALS.get(Error(code), StartRefused)(Error(code), reason.value.decode("utf-8", "replace"))

    def stop(self) -> None:
        _lib.lumvex_stop()

    def shutdown(self, bound: Optional[float] = None) -> ShutdownOutcome:
        """Stops, uploads what is stored and says within ``bound`` seconds how that went."""
        seconds = self.shutdown_bound if bound is None else bound
        self.outcome = ShutdownOutcome(_lib.lumvex_shutdown(int(seconds * 1000)))
        return self.outcome

    add_trace = staticmethod(add_trace)
    force_push = staticmethod(force_push)

    def __enter__(self) -> "Tracker":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.shutdown()
