/*
 * A host process that links the C library (whose err(3) prints and ends the
 * process) but not the host logging library. It loads the driver named in
 * argv[1], initialises a QEL without a port, which logs the version message,
 * and shows that it is still running afterwards.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "vuzorur.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: glibc_host <driver library>\n");
        return 2;
    }
    void *driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (driver == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 2;
    }
    QelMainFunction qel_main;
    void *symbol = dlsym(driver, "QelMain");
    if (symbol == NULL) {
        fprintf(stderr, "no QelMain in %s\n", argv[1]);
        return 2;
    }
    memcpy(&qel_main, &symbol, sizeof qel_main);

    static DriverWorkspace workspace;
    QelSetup setup;
    memset(&setup, 0, sizeof setup);
    setup.portEnabled = 0;
    QelRequest request;
    memset(&request, 0, sizeof request);
    request.workspace = &workspace;
    request.operation = QEL_INIT;
    request.qelNumber = 1;
    request.parameters = &setup;
    const int32_t result = qel_main(&request);

    printf("host still running\n");
    fflush(stdout);
    return result == 0 ? 0 : 1;
}
