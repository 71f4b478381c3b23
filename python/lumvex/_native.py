"""The C interface of libLumvexSdk, declared for ctypes. Internal: use the package."""
import ctypes
import ctypes.util
import os

PUSH_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_void_p)
LOG_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


def _load() -> ctypes.CDLL:
    # LUMVEX_LIBRARY names the file (a build tree, a prefix outside the loader's path);
    # else the loader finds libLumvexSdk.so.1 as it finds any library.
    names = [os.environ.get("LUMVEX_LIBRARY", ""), "libLumvexSdk.so.1", ctypes.util.find_library("LumvexSdk") or ""]
    errors = []
    for name in filter(None, names):
        try:
            # CDLL, not PyDLL: every call lets go of the GIL, so that the library's threads
            # can run Python callbacks meanwhile (a handler being replaced waits for them).
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise ImportError("libLumvexSdk.so.1 not found (set LUMVEX_LIBRARY to its path): " + "; ".join(errors))


lib = _load()

_SIGNATURES = {
    "lumvex_error_text": (ctypes.c_char_p, [ctypes.c_int]),
    "lumvex_config_new": (ctypes.c_void_p, []),
    "lumvex_config_free": (None, [ctypes.c_void_p]),
    "lumvex_config_set_api_key": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p]),
    "lumvex_config_set_endpoint": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p]),
    "lumvex_config_set_push_frequency": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int64]),
    "lumvex_config_set_push_format": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "lumvex_config_set_push_region": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "lumvex_config_set_debug_log": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "lumvex_config_set_identity": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]),
    "lumvex_config_keep_offline": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64, ctypes.c_int64]),
    "lumvex_dropped_fixes": (None, [ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(ctypes.c_int64)]),
    "lumvex_start": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]),
    "lumvex_stop": (None, []),
    "lumvex_is_started": (ctypes.c_int, []),
    "lumvex_shutdown": (ctypes.c_int, [ctypes.c_int64]),
    "lumvex_add_trace": (None, [ctypes.c_double, ctypes.c_double]),
    "lumvex_force_push": (None, [PUSH_CALLBACK, ctypes.c_void_p]),
    "lumvex_forget_push_callbacks": (None, []),
    "lumvex_application_will_resign_active": (None, []),
    "lumvex_set_log_handler": (None, [LOG_HANDLER, ctypes.c_void_p]),
    "lumvex_set_caches_directory": (None, [ctypes.c_char_p]),
    "lumvex_set_main_bundle_directory": (None, [ctypes.c_char_p]),
    "lumvex_use_gpsd": (None, [ctypes.c_char_p, ctypes.c_char_p]),
    "lumvex_use_geoclue": (None, [ctypes.c_char_p]),
    "lumvex_set_location_services_enabled": (None, [ctypes.c_int]),
    "lumvex_run_loop_current": (ctypes.c_void_p, []),
    "lumvex_run_loop_descriptor": (ctypes.c_int, [ctypes.c_void_p]),
    "lumvex_run_loop_next_timeout_ms": (ctypes.c_int64, [ctypes.c_void_p]),
    "lumvex_run_loop_run_pending": (None, [ctypes.c_void_p]),
    "lumvex_run_loop_run_for": (None, [ctypes.c_void_p, ctypes.c_int64]),
    "lumvex_run_loop_stop": (None, [ctypes.c_void_p]),
    "lumvex_version": (ctypes.c_char_p, []),
}

for _name, (_result, _arguments) in _SIGNATURES.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments
