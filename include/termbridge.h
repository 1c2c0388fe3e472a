/*
 * termbridge: host-side console adaptor for the ZRX4620 modem chip.
 *
 * The library is driven through these 26 C functions. No function returns
 * NULL. Integer results are 0 for success and 1 for failure unless stated
 * otherwise. Returned text:
 * - getFailureMessage, getSystemVersionInfo and a failing EEPROM read point
 *   into one fixed failure-text buffer, and getResultBuffer and a successful
 *   EEPROM read into the fixed result buffer: these pointers stay valid until
 *   deinitialize; the text they show changes with the next command or failure.
 * - getResultBufferText stays valid until its next call (or deinitialize).
 */
#ifndef TERMBRIDGE_H
#define TERMBRIDGE_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef __cplusplus
#include <stdbool.h>
#endif

/* The export list (TermBridge.def on Windows, a version script elsewhere)
 * decides what is visible; the functions use the C calling convention. */
#define TB_API
#define TB_CALL

/* Start-up and shut-down */
TB_API int TB_CALL initialize(const char* macMapFile, const char* phyMapFile,
                              const char* structListFile);
TB_API int TB_CALL initialize_old(unsigned short consoleToDispatcherPort,
                                  const char* dispatcherAddress,
                                  unsigned short dispatcherToConsolePort,
                                  const char* macMapFile, const char* phyMapFile,
                                  const char* structListFile);
/* Not while another thread is in a call of this library. A later initialize
 * in the same process numbers its packets on from where this session stopped,
 * so that a late answer to one of its commands never pairs with a new one. */
TB_API int TB_CALL deinitialize(void);
TB_API const char* TB_CALL ver(void);

/* Commands and their results */
TB_API int TB_CALL sendCommand(const char* command, int timeoutMs);
TB_API int TB_CALL sendCommandDefaultTimeout(const char* command);
/* getResultLen bytes, followed by a NUL: read as text it never shows an
 * earlier result's tail, and after a failure it reads "". */
TB_API const char* TB_CALL getResultBuffer(void);
TB_API const char* TB_CALL getResultBufferText(void);
TB_API int TB_CALL getResultLen(void);
TB_API const char* TB_CALL getFailureMessage(void);

/* Settings */
TB_API void TB_CALL setDefaultTimeout(int timeoutMs);
TB_API int TB_CALL getDefaultTimeout(void);
TB_API void TB_CALL setLogSeverity(int level);
TB_API int TB_CALL getLogSeverity(void);
TB_API void TB_CALL setInternalCommandTimeout(int timeoutMs);
TB_API void TB_CALL AllowWriteLogsToFile(bool allow);

/* Chip */
TB_API int TB_CALL SyncChipAccess(void);
TB_API int TB_CALL LoadFW(const char* firmwareFile);
TB_API const char* TB_CALL getSystemVersionInfo(void);

/* EEPROM */
TB_API int TB_CALL InitEepromIF(int mode, const char* path);
TB_API int TB_CALL UpdateEepromField(const char* fieldName, const char* value);
/* 1 when written. A partial burn writes the fields changed since the last
 * partial burn that wrote them: the fields of a run the chip did not confirm
 * stay marked, so that the next partial burn writes them again. */
TB_API int TB_CALL BurnEeprom(unsigned char partial);
TB_API int TB_CALL DumpEepromTableToFile(const char* path);
TB_API const char* TB_CALL ReadEntireEeprom(const char* path);
TB_API const char* TB_CALL ReadFieldFromEeprom(const char* fieldName);
TB_API const char* TB_CALL ReadFieldFromVolatile(const char* fieldName);

#ifdef __cplusplus
}
#endif

#endif /* TERMBRIDGE_H */
