/* lumvex-c-example: the shortest complete host in C. It names its identity, takes the
 * endpoint and key from the command line, hands over a fix, uploads it and shuts down.
 *
 *   lumvex-c-example [endpoint base URL] [API key]
 */
#include <LumvexSdk/lumvex.h>

#include <stdio.h>

struct upload {
    lumvex_run_loop* loop; /* stopped by the callback, which runs on the upload thread */
    lumvex_error outcome;
    int told;
};

static void on_upload(lumvex_error outcome, void* user_data) {
    struct upload* upload = user_data;
    upload->outcome = outcome;
    upload->told = 1;
    lumvex_run_loop_stop(upload->loop); /* what it wrote is seen once run_for returns */
}

static void on_log(lumvex_log_level level, const char* line, void* user_data) {
    static const char* const names[] = {"error", "warning", "info", "debug"};
    (void)user_data;
    fprintf(stderr, "lumvex %s: %s\n", names[level], line);
}

int main(int argc, char** argv) {
    lumvex_set_log_handler(on_log, NULL);
    lumvex_config* config = lumvex_config_new();
    if (!config) {
        return 1;
    }
    lumvex_config_set_endpoint(config, argc > 1 ? argv[1] : "http://127.0.0.1:8710/");
    lumvex_config_set_api_key(config, argc > 2 ? argv[2] : "c-example-key");
    lumvex_config_set_identity(config, "org.example.CTracker", "1.0.0");
    lumvex_config_set_push_format(config, LUMVEX_PUSH_FORMAT_LOCATION_ONLY);
    lumvex_config_set_debug_log(config, 1);
    char reason[256];
    const lumvex_error refused = lumvex_start(config, reason, sizeof reason);
    lumvex_config_free(config); /* the library copied what it needs */
    if (refused != LUMVEX_OK) {
        fprintf(stderr, "not started: %s (%s)\n", lumvex_error_text(refused), reason);
        return 1;
    }

    lumvex_add_trace(52.5163, 13.3777);
    struct upload upload = {lumvex_run_loop_current(), LUMVEX_OK, 0};
    lumvex_force_push(on_upload, &upload);
    /* The library's timers run while this thread's loop runs; the callback ends it early. */
    lumvex_run_loop_run_for(upload.loop, 20000);
    printf("upload: %s\n", upload.told ? lumvex_error_text(upload.outcome) : "no answer yet");

    const lumvex_shutdown_outcome outcome = lumvex_shutdown(10000);
    lumvex_set_log_handler(NULL, NULL);
    printf("shutdown: %s\n", outcome == LUMVEX_SHUTDOWN_KEPT ? "kept for the next run" : "nothing left");
    return upload.told && upload.outcome == LUMVEX_OK ? 0 : 2;
}
