#define KESTAN_BUILDING
#include "kestan.h"

#include <stdarg.h>
#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
static CRITICAL_SECTION lock;
static INIT_ONCE lock_once = INIT_ONCE_STATIC_INIT;
static BOOL CALLBACK init_lock(PINIT_ONCE once, PVOID parameter, PVOID *context) {
    (void)once; (void)parameter; (void)context;
    InitializeCriticalSection(&lock);
    return TRUE;
}
static void lock_log(void) { InitOnceExecuteOnce(&lock_once, init_lock, NULL, NULL); EnterCriticalSection(&lock); }
static void unlock_log(void) { LeaveCriticalSection(&lock); }
#else
#include <pthread.h>
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static void lock_log(void) { pthread_mutex_lock(&lock); }
static void unlock_log(void) { pthread_mutex_unlock(&lock); }
#endif

static FILE *log_file = NULL;
static KestanSink sink = NULL;
static void *sink_context = NULL;

#define EXTRA_SINKS 4
static KestanSink extra_sinks[EXTRA_SINKS];
static void *extra_contexts[EXTRA_SINKS];

void err(int level, const char *format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);

    lock_log();
    FILE *out = log_file != NULL ? log_file : stderr;
    fprintf(out, "%d %s\n", level, message);
    fflush(out);
    if (sink != NULL) sink(level, message, sink_context);
    for (int i = 0; i < EXTRA_SINKS; ++i) {
        if (extra_sinks[i] != NULL) extra_sinks[i](level, message, extra_contexts[i]);
    }
    unlock_log();
}

int KestanLogToFile(const char *path) {
    int result = 0;
    lock_log();
    if (log_file != NULL) fclose(log_file);
    log_file = NULL;
    if (path != NULL) {
        log_file = fopen(path, "a");
        if (log_file == NULL) result = -1;
    }
    unlock_log();
    return result;
}

void KestanSetSink(KestanSink new_sink, void *context) {
    lock_log();
    sink = new_sink;
    sink_context = context;
    unlock_log();
}

int KestanAddSink(KestanSink new_sink, void *context) {
    int result = -1;
    lock_log();
    for (int i = 0; i < EXTRA_SINKS && result != 0; ++i) {
        if (extra_sinks[i] == NULL) {
            extra_sinks[i] = new_sink;
            extra_contexts[i] = context;
            result = 0;
        }
    }
    unlock_log();
    return result;
}

void KestanRemoveSink(KestanSink old_sink, void *context) {
    lock_log();
    for (int i = 0; i < EXTRA_SINKS; ++i) {
        if (extra_sinks[i] == old_sink && extra_contexts[i] == context) {
            extra_sinks[i] = NULL;
            extra_contexts[i] = NULL;
        }
    }
    unlock_log();
}
