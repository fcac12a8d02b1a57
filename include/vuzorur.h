/*
 * vuzorur.h - the host interface of the Izumi FA-series serial driver.
 *
 * A host loads the driver library (VUZORUR.dll on Windows, libvuzorur.so on
 * Linux) and calls its one export, QelMain, with a QelRequest. Every record
 * below belongs to the host: the driver reads and writes it only during a call.
 *
 * Layout of the records
 * ---------------------
 * On 32-bit targets (the Windows i686 build) every field sits at the fixed
 * offset the host expects: little-endian, 32-bit pointers, no gaps. These
 * offsets are checked by static_assert in the driver.
 *
 * On 64-bit targets the records keep the same fields in the same order as
 * plain C structs with natural alignment; pointer fields are widened to the
 * native width, so padding appears in front of them. A 64-bit host fills the
 * records by field name exactly as a 32-bit host does.
 *
 * DriverWorkspace is the exception: it is exactly DRIVER_WORKSPACE_SIZE (1591)
 * bytes, packed, on every target, and its port handle slot is 32 bits wide on
 * every target.
 *
 * Result codes: 0 success (for the checks: the gate is legal), 1 refused or
 * illegal (illegal gate, value out of range, a negative or malformed answer
 * from the controller), 2 port or line failure (port not open, no answer or a
 * short answer). QEL_RESULT_DONE, QEL_RESULT_REFUSED and QEL_RESULT_LINE_FAILURE
 * name them.
 *
 * Extensions
 * ----------
 * Two operations beyond the table of the standard codes (1 to 15, table of
 * OPERATION_TABLE_SIZE slots, slot 16 empty) let a host run its own retries:
 * QEL_READ_ATTEMPT (17) and QEL_WRITE_ATTEMPT (18), with the parameter block
 * QelAttempt. They live in a table of their own (EXTENSION_FIRST_OPERATION,
 * EXTENSION_COUNT); a host that never calls them sees the driver exactly as
 * before: same frames, same log lines, same workspace size.
 *
 * Each is exactly one pass of the attempt loop of QEL_READ_BLOCK resp.
 * QEL_WRITE: the station selection when the station is not the last one
 * addressed, the purge before each frame, the frames, the echo and
 * acknowledgement checks, force mode as in QEL_WRITE. No pause and no retry.
 * lastStation is kept as the transactions keep it: the station after
 * success, none after a failure, so the next call selects again.
 *
 * Logging: the attempts log what one attempt of QEL_READ_BLOCK or QEL_WRITE
 * logs by itself (a Nak, a malformed Ack, a write to a read-only gate, a
 * failed force clear), and nothing else: no retry line, no "Read failed" or
 * "Write failed" line (the host that retries decides what a failure is
 * worth), and no range message (QEL_FAILURE_REFUSED tells it).
 *
 * The result is what that attempt of the loop would give (0, 1 or 2); the
 * block's `failure` says why it failed (QEL_FAILURE_*).
 *
 * Time-out: the attempt's read time-out is `timeoutMs`, raised to at least
 * 20 ms plus the character time of the longest answer the attempt waits for
 * at the port's line settings, and rounded up to 10 ms. The workspace's
 * readTimeout and the port's time-out are as before when the call returns.
 *
 * Trailer: a controller sends a checksum and a CR after BlockData, which
 * QEL_READ and QEL_READ_BLOCK leave to the next purge. QEL_READ_ATTEMPT reads
 * them: after BlockData that arrived in full it takes up to QEL_TRAILER_SIZE
 * characters until the line has been quiet for 20 ms, and hands them back
 * unjudged in `trailer`/`trailerLength` (0 for an ElementReply and for an
 * attempt that did not get its BlockData). The next purge on the port counts
 * that quiet and does not wait for it again.
 */
#ifndef VUZORUR_H
#define VUZORUR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(VUZORUR_BUILDING)
#    define QEL_API __declspec(dllexport)
#  else
#    define QEL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define QEL_API __attribute__((visibility("default")))
#else
#  define QEL_API
#endif

/* Operation codes: the index into the driver's operation table. */
enum QelOperation {
    QEL_INIT = 1,
    QEL_WARM_START = 2,
    QEL_CHECK_GATE = 3,
    QEL_CHECK_BLOCK = 4,
    QEL_READ = 5,
    QEL_READ_BLOCK = 6,
    QEL_WRITE = 7,
    QEL_NOT_SUPPORTED = 10,
    QEL_CLOSE = 11,
    QEL_CLOSE_PORT = 12,
    QEL_OPEN_PORT = 13,
    QEL_DESCRIBE = 14,
    QEL_RECONFIGURE = 15
};

#define OPERATION_TABLE_SIZE 17

/* Extension operations (see "Extensions" above), above the standard table. */
#define QEL_READ_ATTEMPT 17
#define QEL_WRITE_ATTEMPT 18
#define EXTENSION_FIRST_OPERATION 17
#define EXTENSION_COUNT 2

/* Result codes of every operation. */
#define QEL_RESULT_DONE 0
#define QEL_RESULT_REFUSED 1
#define QEL_RESULT_LINE_FAILURE 2

/* Extension: why an attempt failed (QelAttempt.failure). */
#define QEL_FAILURE_NONE 0        /* the result is 0 */
#define QEL_FAILURE_NO_ANSWER 1   /* nothing at all came back */
#define QEL_FAILURE_SHORT_ANSWER 2 /* an answer that stopped part way */
#define QEL_FAILURE_ECHO 3        /* the echo differed from the frame sent */
#define QEL_FAILURE_NAK 4         /* the controller answered a Nak */
#define QEL_FAILURE_MALFORMED 5   /* malformed answer or reply, checksum, non-digit data */
#define QEL_FAILURE_LINE_ERROR 6  /* parity, framing, overrun or break reported by the port */
#define QEL_FAILURE_REFUSED 7     /* refused before anything was sent, or no frame for the gate */
#define QEL_FAILURE_PORT 8        /* port not open, or the system failed a write */

/* Extension: characters kept of what follows BlockData. */
#define QEL_TRAILER_SIZE 8
#define STATION_COUNT 256
#define NO_STATION 9999
#define DEFAULT_MODEL "FA2"
#define MIN_READ_TIMEOUT 100
#define DRIVER_WORKSPACE_SIZE 1591
#define MAX_BLOCK_COUNT 100
#define MAX_GAS_LENGTH 9
#define PORT_NAME_SIZE 12
#define GAS_SCRATCH_SIZE 15
#define STATION_MODEL_SIZE 5

/* Host data types of a gate. */
#define DATA_TYPE_WORD 0
#define DATA_TYPE_BIT 6

/* Area codes that the gate check stores and the transfers carry. */
enum AreaCode {
    AREA_TM = 0,
    AREA_CT = 1,
    AREA_DR = 2,
    AREA_CP = 3,
    AREA_TP = 4,
    AREA_IO = 5,
    AREA_IR = 6, /* IR and IM */
    AREA_SR = 7,
    AREA_WO = 8,
    AREA_FORCE = 9
};

/* Request record: the one argument of QelMain. The driver only reads it. */
typedef struct QelRequest {
    void *workspace;     /* the QEL's DriverWorkspace */
    int32_t operation;   /* operation code */
    int32_t qelNumber;   /* the QEL's number */
    uint32_t reserved;   /* the host's; never read by the driver */
    void *parameters;    /* the operation's parameter block */
} QelRequest;

/* Serial port configuration of a QEL (22 bytes). */
typedef struct PortSettings {
    char portName[PORT_NAME_SIZE]; /* zero-terminated, at most 11 characters */
    uint16_t baudRate;
    uint16_t dataBits;    /* low byte used */
    uint16_t stopBits;    /* 0 one, 1 one and a half, 2 two */
    uint16_t parity;      /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    uint16_t lineControl; /* DTR/RTS bits; QEL_INIT stores 8 (both off) */
} PortSettings;

#pragma pack(push, 1)
/* Per-QEL state block, allocated by the host: 1591 bytes, packed. */
typedef struct DriverWorkspace {
    int32_t readTimeout;  /* 10 ms units */
    uint32_t portHandle;  /* 0 while no port is open */
    int32_t portEnabled;
    int32_t qelNumber;
    PortSettings port;
    uint8_t gasScratch[GAS_SCRATCH_SIZE];
    uint16_t lastStation; /* NO_STATION when none is selected */
    char stationModel[STATION_COUNT][STATION_MODEL_SIZE];
    uint8_t forceFlags[STATION_COUNT];
} DriverWorkspace;
#pragma pack(pop)

/* Parameter block of QEL_READ, QEL_READ_BLOCK and QEL_WRITE. */
typedef struct GateTransfer {
    const char *gas;     /* the gate address text; used only in messages */
    uint32_t hostField;
    uint32_t station;
    uint32_t areaCode;
    uint32_t element;
    uint32_t hostField2;
    uint32_t hostField3;
    int32_t dataType;    /* DATA_TYPE_WORD or DATA_TYPE_BIT */
    int32_t count;       /* 1 for a single gate */
    uint32_t hostField4;
    uint16_t *values;    /* slot 1 for a single value, slots 0..count-1 for a block */
} GateTransfer;

/* Extension: parameter block of QEL_READ_ATTEMPT and QEL_WRITE_ATTEMPT. */
typedef struct QelAttempt {
    GateTransfer *transfer;  /* in: the read or write, as for QEL_READ/QEL_READ_BLOCK/QEL_WRITE */
    int32_t timeoutMs;       /* in: this attempt's read time-out in ms; raised to the driver's floor */
    int32_t failure;         /* out: QEL_FAILURE_* , QEL_FAILURE_NONE when the result is 0 */
    int32_t trailerLength;   /* out: characters that followed BlockData (0..QEL_TRAILER_SIZE) */
    uint8_t trailer[QEL_TRAILER_SIZE]; /* out; QEL_TRAILER_SIZE 8 */
} QelAttempt;

/* Parameter block of QEL_CHECK_GATE and QEL_CHECK_BLOCK. */
typedef struct GateDefinition {
    const char *gas;     /* in: the gate address string */
    uint32_t hostField;
    int32_t dataType;    /* in */
    int32_t count;       /* in: block length, QEL_CHECK_BLOCK only */
    uint32_t station;    /* out */
    uint32_t areaCode;   /* out */
    uint32_t element;    /* out */
    uint32_t fixedOut1;  /* out: always 255 */
    uint32_t fixedOut2;  /* out: always 16 */
} GateDefinition;

/* Parameter block of QEL_INIT (the driver reads 28 bytes). */
typedef struct QelSetup {
    char portName[PORT_NAME_SIZE];
    int32_t portEnabled;
    int32_t readTimeout; /* 10 ms units */
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} QelSetup;

/* Parameter block of QEL_RECONFIGURE (the driver reads 24 bytes). */
typedef struct PortUpdate {
    char portName[PORT_NAME_SIZE];
    int32_t readTimeout; /* 0 keeps the current one */
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} PortUpdate;

/* Filled by QEL_DESCRIBE. */
typedef struct DriverInfo {
    uint32_t hostCode1;       /* 70 */
    const char *driverName;   /* "Izumi FA-series Driver" */
    const char *bannerText;   /* installation banner, code page 437 */
    uint32_t workspaceSize;   /* DRIVER_WORKSPACE_SIZE */
    uint32_t hostCode2;       /* 4 */
    uint16_t baudRate;        /* default line settings: 9600 8E1 */
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    uint32_t hostCode3;       /* 3 */
} DriverInfo;

/* The driver's one entry point. */
QEL_API int32_t QelMain(const QelRequest *request);

typedef int32_t (*QelMainFunction)(const QelRequest *request);

#ifdef __cplusplus
}
#endif

#endif /* VUZORUR_H */
