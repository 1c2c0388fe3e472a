/*
 * termbridge extensions: functions beyond the 26 of termbridge.h, for hosts
 * that want progress reports, cancelling, traffic figures and the reasons
 * behind failures. All carry the prefix tbx_
 * and are listed after the 26 in the export list; a host that knows only
 * termbridge.h sees no difference.
 */
#ifndef TERMBRIDGE_EXT_H
#define TERMBRIDGE_EXT_H

#include "termbridge.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress of a long operation (LoadFW, BurnEeprom, whole-EEPROM reads).
 * Called on the host's own thread, inside the export that runs the
 * operation: stage names the step, done and total count bytes (total 0 when
 * not known). The callback must not call back into the library. */
typedef void (TB_CALL* tbx_ProgressCallback)(const char* stage, unsigned long long done,
                                             unsigned long long total, void* user);

/* Registers the callback (NULL: none) and the pointer handed back to it.
 * Works before initialize and stays registered until replaced. */
TB_API void TB_CALL tbx_setProgressCallback(tbx_ProgressCallback callback, void* user);

/* The same reports, from a callback that may stop the operation: it answers
 * nonzero to stop, 0 to go on. The stop works as tbx_cancelOperation: a
 * stopped LoadFW or whole-EEPROM read (ReadEntireEeprom, InitEepromIF from
 * the chip) returns 1, a stopped BurnEeprom returns 0 (not written), and the
 * failure text begins with "Cancelled:". Registering either callback
 * replaces the other. */
typedef int (TB_CALL* tbx_StoppableProgressCallback)(const char* stage, unsigned long long done,
                                                     unsigned long long total, void* user);
TB_API void TB_CALL tbx_setStoppableProgressCallback(tbx_StoppableProgressCallback callback, void* user);

/* Asks the operation export running on another thread to stop. Every wait
 * of the operation ends at once, whatever the time-outs (also none): a
 * command's wait for its answer, the waits for the answers to the 16-byte
 * pieces of a PHY/MAC command's mailbox delivery, of LoadFW and of the
 * EEPROM burn and reads, and the pauses in between. No further packet of the
 * operation is sent, so nothing reaches the dispatcher once the call has
 * returned. The call fails (sendCommand, LoadFW and the EEPROM reads
 * return 1, BurnEeprom 0) with a failure text that begins with "Cancelled:"
 * and says what was done:
 *   - a command: whether it was sent, and for a PHY/MAC command whether the
 *     chip took it from its mailbox ("the chip received it", "the chip may
 *     run it", "was not handed to the chip");
 *   - LoadFW: how far the load got, and whether the firmware was started;
 *     what was written stays written, as after a failed load;
 *   - BurnEeprom: the bytes written, the fields the chip confirmed and those
 *     it did not (a partial burn keeps their marks, so the next partial burn
 *     writes them);
 *   - the EEPROM reads: how far they got.
 * Every operation export starts without such a request, so a request made
 * while none runs has no effect. Callable from any thread while the library
 * is initialized, but not from a signal handler, and not while deinitialize
 * runs. */
TB_API void TB_CALL tbx_cancelOperation(void);

/* The traffic of the last operation export (sendCommand, LoadFW, the EEPROM
 * exports, SyncChipAccess, getSystemVersionInfo, setLogSeverity): each of
 * them starts the counts from zero. Bytes are those of the packets on the
 * wire: 524 per native command packet, 520 per event packet. The layout is
 * the same on every platform (no padding). */
typedef struct tbx_OperationStats {
    unsigned int commandsSent;   /* native command packets sent to the dispatcher */
    unsigned int eventsAccepted; /* event packets taken as the answer to the last command sent */
    unsigned int eventsDropped;  /* event packets that answered no command in flight */
    unsigned int reserved;       /* 0 */
    unsigned long long bytesSent;
    unsigned long long bytesReceived; /* of accepted and dropped event packets */
} tbx_OperationStats;

/* Fills *stats: 0 on success, 1 when stats is NULL or the library is not
 * initialized (then *stats is all zero when given). */
TB_API int TB_CALL tbx_getLastOperationStats(tbx_OperationStats* stats);

/* The log lines of levels 1 and 2 (errors and the course of each command)
 * that the last operation export wrote, oldest first, each ending with a
 * line end: the reason behind a failure text such as "Error: Failed to Send
 * Command : '...'". Kept whether or not file logging is on and whatever the
 * severity; at most the latest 200 lines of 1000 characters each (a first
 * line then says how many were left out). Lines that other threads log
 * between operations (a late answer, a new dispatcher connection) belong to
 * the last operation. Reset at the start of each operation export, as
 * tbx_getLastOperationStats is. Never NULL: "" before the first operation
 * export; the text stays valid until the next call of this function. */
TB_API const char* TB_CALL tbx_getLastOperationLog(void);

/* The path of the log file the library writes now; "" when it writes none
 * (no logger yet, its folder could not be made, or AllowWriteLogsToFile(0)
 * stopped the writing). The text stays valid
 * until the next call of this function. */
TB_API const char* TB_CALL tbx_getLogFilePath(void);

/* The link to the dispatcher as the library sees it. */
typedef struct tbx_LinkState {
    unsigned int connected;      /* 1 while a dispatcher connection is open */
    unsigned int connections;    /* dispatcher connections taken since initialize */
    unsigned short listenPort;   /* the port the library listens on for the dispatcher;
                                  * 0 when it could not open it (no dispatcher can connect) */
    unsigned short commandPort;  /* the dispatcher's command port the library sends to */
    unsigned int reserved;       /* 0 */
} tbx_LinkState;

/* Fills *state: 0 on success, 1 when state is NULL or the library is not
 * initialized (then *state is all zero when given). */
TB_API int TB_CALL tbx_getLinkState(tbx_LinkState* state);

/* How long LoadFW waits after the run command, for the firmware to start,
 * before it sets the link back to its working speed: 2000 ms unless set.
 * A chip whose firmware starts slower needs more; a bench that knows its
 * firmware starts at once may take less. 0 to 60000 ms: returns 0, or 1 and
 * keeps the pause for a value outside. Works before initialize and stays
 * until changed. */
TB_API int TB_CALL tbx_setFirmwareStartPause(int milliseconds);

/* Chip memory in bulk (memory files, dumps): reads `length` bytes from
 * `address` into `bytes`, or writes `length` bytes from `bytes` there, as
 * native buffer commands of up to 512 bytes, each waiting for its answer
 * (the internal time-out). Progress ("memory read", "memory write"),
 * tbx_cancelOperation and the operation's figures and log as for the other
 * long operations. A write is not read back here. 0 on success; 1 with the
 * failure text: a range past the 32-bit address space or a NULL buffer
 * (nothing sent), a refused or lost answer ("Failed to read chip memory at
 * 0x...: N of M bytes read"; what was written stays written), or a
 * "Cancelled: ..." text. Before initialize: -1. */
TB_API int TB_CALL tbx_readMemory(unsigned int address, unsigned int length, unsigned char* bytes);
TB_API int TB_CALL tbx_writeMemory(unsigned int address, const unsigned char* bytes, unsigned int length);

/* Firmware verify: reads the chip's memory for every chunk the package
 * would load (MAC, PHY, ASIP and interrupt-vector data, as LoadFW cuts them)
 * and compares, writing nothing: no set-up change, no run command. 0 when
 * the chip holds the package (getResultBuffer: "the chip holds PATH: N
 * chunks, B bytes compared"); 1 with a failure text that lists each
 * differing chunk (its kind, address, first differing byte and how many
 * differ; the first 20), or says why no verdict was reached (a package that
 * does not build fails as LoadFW does; a memory read that failed; a
 * "Cancelled: ..." text). Progress ("build", "verify") and cancel as LoadFW.
 * Before initialize: -1. */
TB_API int TB_CALL tbx_verifyFW(const char* firmwareFile);

#ifdef __cplusplus
}
#endif

#endif /* TERMBRIDGE_EXT_H */
