/*
 * qelseq.exe - a minimal 32-bit Windows host for the wine tests: it loads
 * VUZORUR.dll, initialises one QEL and runs a sequence of steps in that one
 * session, so that state which lives only in the workspace (the force flags,
 * the selected station, the open port) carries from one step to the next.
 *
 * Usage: qelseq.exe [-log FILE] [-timeout N] [-attempt-ms MS] [-qel N] [-parity CODE] PORT STEP...
 *   GAS=VALUE    check the gate, then write VALUE (decimal or 0x hex)
 *   GAS=VALUE!1  the same write as one QEL_WRITE_ATTEMPT
 *   GAS?         check the gate, then read it (one value, QEL_READ)
 *   GAS#N?       check a block of N gates, then read it (QEL_READ_BLOCK)
 *   GAS?1 GAS#N?1  the same reads as one QEL_READ_ATTEMPT
 *   warm         QEL_WARM_START
 *   close        QEL_CLOSE_PORT
 *   open         QEL_OPEN_PORT
 *   await=FILE   wait (at most 30 s) until FILE exists, so that a script can
 *                change the simulator between two steps of one session
 * Each step prints one line "<step> rc=<result> ms=<time the step took>"; a
 * read that gave 0 prints "<step> value=<n>" (block: "values=<a>,<b>,...")
 * before it, and an attempt prints "<step> failure=<NAME> trailer=<length>
 * <characters>" (CR as <CR>, other control characters as <hh>).
 * -attempt-ms sets the attempts' timeoutMs (default 0: the driver's floor).
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
static int attemptMs = 0;

static const char *const failureNames[] = {"NONE", "NO_ANSWER", "SHORT_ANSWER", "ECHO", "NAK",
                                           "MALFORMED", "LINE_ERROR", "REFUSED", "PORT"};

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

/* Checks the gate (a block of `count` when `block`) and fills a transfer for
 * it; returns the check's result. */
static int32_t Prepare(const char *gas, int32_t count, int block, GateTransfer *transfer, uint16_t *values) {
    GateDefinition definition;
    int32_t result;
    memset(&definition, 0, sizeof definition);
    definition.gas = gas;
    definition.dataType = IsBitGate(gas) ? DATA_TYPE_BIT : DATA_TYPE_WORD;
    definition.count = count;
    result = Call(block ? QEL_CHECK_BLOCK : QEL_CHECK_GATE, &definition);
    memset(transfer, 0, sizeof *transfer);
    transfer->gas = gas;
    transfer->station = definition.station;
    transfer->areaCode = definition.areaCode;
    transfer->element = definition.element;
    transfer->dataType = definition.dataType;
    transfer->count = count;
    transfer->values = values;
    return result;
}

/* One attempt of a read or write; prints why it failed and the trailer. */
static int32_t Attempt(const char *step, int32_t operation, GateTransfer *transfer) {
    QelAttempt block;
    int32_t result;
    int32_t k;
    memset(&block, 0, sizeof block);
    block.transfer = transfer;
    block.timeoutMs = attemptMs;
    block.failure = -1;
    block.trailerLength = -1;
    result = Call(operation, &block);
    printf("%s failure=%s trailer=%d", step,
           block.failure >= 0 && block.failure <= QEL_FAILURE_PORT ? failureNames[block.failure] : "?",
           (int)block.trailerLength);
    if (block.trailerLength > 0) putchar(' ');
    for (k = 0; k < block.trailerLength && k < QEL_TRAILER_SIZE; ++k) {
        const unsigned char c = block.trailer[k];
        if (c == '\r') printf("<CR>");
        else if (c < 0x20 || c >= 0x7F) printf("<%02X>", (unsigned)c);
        else putchar(c);
    }
    putchar('\n');
    return result;
}

/* Waits until the file exists; 0 when it does, 2 after 30 s. */
static int32_t Await(const char *file) {
    int i;
    for (i = 0; i < 3000; ++i) {
        if (GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) return 0;
        Sleep(10);
    }
    return 2;
}

static int32_t Step(const char *step) {
    char gas[32];
    size_t length = strlen(step);
    const char *equals = strchr(step, '=');
    const char *hash;
    uint16_t values[MAX_BLOCK_COUNT + 4];
    GateTransfer transfer;
    int32_t count = 1;
    int attempt = 0;
    int32_t result;
    int32_t k;

    memset(values, 0, sizeof values);
    if (strcmp(step, "warm") == 0) return Call(QEL_WARM_START, NULL);
    if (strcmp(step, "close") == 0) return Call(QEL_CLOSE_PORT, NULL);
    if (strcmp(step, "open") == 0) return Call(QEL_OPEN_PORT, NULL);
    if (strncmp(step, "await=", 6) == 0) return Await(step + 6);
    if (equals != NULL && (size_t)(equals - step) < sizeof gas) {
        memcpy(gas, step, (size_t)(equals - step));
        gas[equals - step] = '\0';
        values[1] = (uint16_t)strtoul(equals + 1, NULL, 0);
        attempt = length > 2 && strcmp(step + length - 2, "!1") == 0;
        result = Prepare(gas, 1, 0, &transfer, values);
        if (result != 0) return 100 + result;
        return attempt ? Attempt(step, QEL_WRITE_ATTEMPT, &transfer) : Call(QEL_WRITE, &transfer);
    }
    if (length > 2 && strcmp(step + length - 2, "?1") == 0) {
        attempt = 1;
        --length;
    }
    if (length > 1 && step[length - 1] == '?' && length - 1 < sizeof gas) {
        memcpy(gas, step, length - 1);
        gas[length - 1] = '\0';
        hash = strchr(gas, '#');
        if (hash != NULL) {
            count = atoi(hash + 1);
            gas[hash - gas] = '\0';
            if (count < 1 || count > MAX_BLOCK_COUNT) {
                fprintf(stderr, "qelseq: bad block count in %s\n", step);
                return 64;
            }
        }
        result = Prepare(gas, count, hash != NULL, &transfer, values);
        if (result != 0) return 100 + result;
        for (k = 0; k < count + 1; ++k) values[k] = 0xFFFF;
        if (attempt) result = Attempt(step, QEL_READ_ATTEMPT, &transfer);
        else result = Call(hash != NULL ? QEL_READ_BLOCK : QEL_READ, &transfer);
        if (result == 0 && hash == NULL) printf("%s value=%u\n", step, (unsigned)values[1]);
        if (result == 0 && hash != NULL) {
            printf("%s values=", step);
            for (k = 0; k < count; ++k) printf(k > 0 ? ",%u" : "%u", (unsigned)values[k]);
            putchar('\n');
        }
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
        else if (strcmp(argv[i], "-attempt-ms") == 0) attemptMs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "-qel") == 0) qelNumber = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "-parity") == 0) parity = atoi(argv[i + 1]);
        else break;
        i += 2;
    }
    if (i >= argc || strlen(argv[i]) >= PORT_NAME_SIZE) {
        fprintf(stderr, "usage: qelseq.exe [-log FILE] [-timeout N] [-attempt-ms MS] [-qel N] [-parity CODE] PORT STEP...\n");
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
