/*
 * qelseq.exe - a minimal 32-bit Windows host for the wine tests: it loads
 * VUZORUR.dll, initialises one QEL and runs a sequence of steps in that one
 * session, so that state which lives only in the workspace (the force flags,
 * the selected station, the open port) carries from one step to the next.
 *
 * Usage: qelseq.exe [-log FILE] [-timeout N] [-qel N] [-parity CODE] PORT STEP...
 *   GAS=VALUE   check the gate, then write VALUE (decimal or 0x hex)
 *   GAS?        check the gate, then read it (one value)
 *   warm        QEL_WARM_START
 *   close       QEL_CLOSE_PORT
 *   open        QEL_OPEN_PORT
 * Each step prints one line "<step> rc=<result> ms=<time the step took>"; a
 * read prints "<step> value=<n>" before it.
 * The line is 9600 baud, 8 data bits, one stop bit; -parity takes the driver's
 * parity code (0 none ... 4 space, default 2 even).
 * The station model file davEVnn.int is read from the current directory.
 * Exit status: 0 when every step gave 0, 1 when one did not, 64 on misuse.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vuzorur.h"

static QelMainFunction qelMain;
static unsigned char workspace[DRIVER_WORKSPACE_SIZE + 64];
static int qelNumber = 1;

static int32_t Call(int32_t operation, void *parameters) {
    QelRequest request;
    memset(&request, 0, sizeof request);
    request.workspace = workspace;
    request.operation = operation;
    request.qelNumber = qelNumber;
    request.parameters = parameters;
    return qelMain(&request);
}

static int IsBitGate(const char *gas) {
    char area[3] = {0, 0, 0};
    if (strlen(gas) < 5) return 0;
    area[0] = (char)(gas[3] & ~0x20);
    area[1] = (char)(gas[4] & ~0x20);
    return strcmp(area, "IO") == 0 || strcmp(area, "IR") == 0 || strcmp(area, "IM") == 0 ||
           strcmp(area, "SR") == 0 || strcmp(area, "FO") == 0;
}

/* Checks the gate and fills a transfer for it; returns the check's result. */
static int32_t Prepare(const char *gas, GateTransfer *transfer, uint16_t *values) {
    GateDefinition definition;
    int32_t result;
    memset(&definition, 0, sizeof definition);
    definition.gas = gas;
    definition.dataType = IsBitGate(gas) ? DATA_TYPE_BIT : DATA_TYPE_WORD;
    definition.count = 1;
    result = Call(QEL_CHECK_GATE, &definition);
    memset(transfer, 0, sizeof *transfer);
    transfer->gas = gas;
    transfer->station = definition.station;
    transfer->areaCode = definition.areaCode;
    transfer->element = definition.element;
    transfer->dataType = definition.dataType;
    transfer->count = 1;
    transfer->values = values;
    return result;
}

static int32_t Step(const char *step) {
    char gas[32];
    const size_t length = strlen(step);
    const char *equals = strchr(step, '=');
    uint16_t values[4] = {0, 0, 0, 0};
    GateTransfer transfer;
    int32_t result;

    if (strcmp(step, "warm") == 0) return Call(QEL_WARM_START, NULL);
    if (strcmp(step, "close") == 0) return Call(QEL_CLOSE_PORT, NULL);
    if (strcmp(step, "open") == 0) return Call(QEL_OPEN_PORT, NULL);
    if (equals != NULL && (size_t)(equals - step) < sizeof gas) {
        memcpy(gas, step, (size_t)(equals - step));
        gas[equals - step] = '\0';
        values[1] = (uint16_t)strtoul(equals + 1, NULL, 0);
        result = Prepare(gas, &transfer, values);
        if (result != 0) return 100 + result;
        return Call(QEL_WRITE, &transfer);
    }
    if (length > 1 && step[length - 1] == '?' && length - 1 < sizeof gas) {
        memcpy(gas, step, length - 1);
        gas[length - 1] = '\0';
        result = Prepare(gas, &transfer, values);
        if (result != 0) return 100 + result;
        values[1] = 0xFFFF;
        result = Call(QEL_READ, &transfer);
        if (result == 0) printf("%s value=%u\n", step, (unsigned)values[1]);
        return result;
    }
    fprintf(stderr, "qelseq: unknown step %s\n", step);
    return 64;
}

int main(int argc, char **argv) {
    const char *logFile = NULL;
    int timeout = 100;
    int parity = 2;
    int i = 1;
    int failed = 0;
    HMODULE driver;
    QelSetup setup;
    int32_t result;
    LARGE_INTEGER frequency, before, after;

    while (i + 1 < argc && argv[i][0] == '-') {
        if (strcmp(argv[i], "-log") == 0) logFile = argv[i + 1];
        else if (strcmp(argv[i], "-timeout") == 0) timeout = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "-qel") == 0) qelNumber = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "-parity") == 0) parity = atoi(argv[i + 1]);
        else break;
        i += 2;
    }
    if (i >= argc || strlen(argv[i]) >= PORT_NAME_SIZE) {
        fprintf(stderr, "usage: qelseq.exe [-log FILE] [-timeout N] [-qel N] [-parity CODE] PORT STEP...\n");
        return 64;
    }
    driver = LoadLibraryA("VUZORUR.dll");
    if (driver == NULL) {
        fprintf(stderr, "qelseq: cannot load VUZORUR.dll (error %lu)\n", (unsigned long)GetLastError());
        return 64;
    }
    qelMain = (QelMainFunction)(void *)GetProcAddress(driver, "QelMain");
    if (qelMain == NULL) {
        fprintf(stderr, "qelseq: VUZORUR.dll has no QelMain\n");
        return 64;
    }
    if (logFile != NULL) {
        typedef int (*LogToFile)(const char *);
        HMODULE kestan = GetModuleHandleA("KESTAN.dll");
        LogToFile toFile = kestan != NULL ? (LogToFile)(void *)GetProcAddress(kestan, "KestanLogToFile") : NULL;
        if (toFile == NULL || toFile(logFile) != 0) {
            fprintf(stderr, "qelseq: cannot log to %s\n", logFile);
            return 64;
        }
    }

    memset(&setup, 0, sizeof setup);
    strncpy(setup.portName, argv[i], PORT_NAME_SIZE - 1);
    setup.portEnabled = 1;
    setup.readTimeout = timeout;
    setup.baudRate = 9600;
    setup.dataBits = 8;
    setup.stopBits = 0;
    setup.parity = (uint16_t)parity;
    result = Call(QEL_INIT, &setup);
    printf("init %s rc=%d\n", setup.portName, (int)result);
    if (result != 0) return 1;

    QueryPerformanceFrequency(&frequency);
    for (++i; i < argc; ++i) {
        QueryPerformanceCounter(&before);
        result = Step(argv[i]);
        QueryPerformanceCounter(&after);
        printf("%s rc=%d ms=%.1f\n", argv[i], (int)result,
               (double)(after.QuadPart - before.QuadPart) * 1000.0 / (double)frequency.QuadPart);
        fflush(stdout);
        if (result == 64) return 64;
        if (result != 0) failed = 1;
    }
    result = Call(QEL_CLOSE, NULL);
    printf("close rc=%d\n", (int)result);
    FreeLibrary(driver);
    return failed || result != 0 ? 1 : 0;
}
