/*
 * termbridge extensions: functions beyond the 26 of termbridge.h, for hosts
 * that want progress reports and traffic figures. All carry the prefix tbx_
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

#ifdef __cplusplus
}
#endif

#endif /* TERMBRIDGE_EXT_H */
