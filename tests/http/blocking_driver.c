/* A driver for the watchdog test, loaded with qelgate --driver: it forwards
 * every call to the real driver (BLOCKING_DRIVER_REAL, a path) and, while the
 * file BLOCKING_DRIVER_FILE exists, holds each QEL_READ_ATTEMPT before it
 * goes to the line, as a line worker stuck in an exchange would be. The real
 * driver finds libkestan.so beside itself, as it does for any host. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vuzorur.h"

static QelMainFunction real_main;
static pthread_once_t loaded = PTHREAD_ONCE_INIT;

static void load_real(void) {
    const char *path = getenv("BLOCKING_DRIVER_REAL");
    void *library = path != NULL ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
    if (library == NULL) {
        fprintf(stderr, "blocking driver: cannot load BLOCKING_DRIVER_REAL: %s\n", path != NULL ? dlerror() : "not set");
        return;
    }
    void *symbol = dlsym(library, "QelMain");
    memcpy(&real_main, &symbol, sizeof real_main);
}

QEL_API int32_t QelMain(const QelRequest *request) {
    pthread_once(&loaded, load_real);
    if (real_main == NULL) return 2;
    const char *block = getenv("BLOCKING_DRIVER_FILE");
    if (request != NULL && request->operation == QEL_READ_ATTEMPT && block != NULL) {
        while (access(block, F_OK) == 0) usleep(50 * 1000);
    }
    return real_main(request);
}
