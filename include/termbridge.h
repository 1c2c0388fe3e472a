/*
 * termbridge: host-side console adaptor for the ZRX4620 modem chip.
 *
 * The library is driven through these 26 C functions. No function returns
 * NULL. Integer results are 0 for success and 1 for failure unless stated
 * otherwise. Before initialize (and after deinitialize) a function answers
 * with its not-initialized value: 1 unless stated otherwise, and for text
 * "Fatal Error!!! Console Application isn't Ready!!!!". An exception thrown
 * inside a function is caught there (ver and getSystemVersionInfo have no
 * such guard, initialize_old one around the creation of the session only):
 * it writes a crash line such as "Crash: sendCommand method really crashed"
 * into the crash file, and the function answers 1 (BurnEeprom 0, text
 * functions the not-ready text). Returned text:
 * - getFailureMessage and a failing EEPROM read point into one fixed
 *   failure-text buffer, and getResultBuffer, getSystemVersionInfo and a
 *   successful EEPROM read into the fixed result buffer: these pointers stay
 *   valid until deinitialize; the text they show changes with the next
 *   command or failure.
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

/* Reads the dispatcher's link from the current user's registry (on Linux
 * $TERMBRIDGE_ROOT/registry.reg), under the key
 * SOFTWARE\Quoril Semiconductor\ZRX4620\Sockets:
 * Ports\Console_To_Dispatcher (the dispatcher's command port),
 * IPAddresses\Console_To_Dispatcher (its IPv4 address; the first 16
 * characters count) and Ports\Dispatcher_To_Console (the port the library
 * listens on), then answers as initialize_old with them. 1 at once, with
 * nothing created or logged, when one of the three is missing or empty. */
TB_API int TB_CALL initialize(const char* macMapFile, const char* phyMapFile,
                              const char* structListFile);
/* Prints the start-up banner on standard output, then starts the session:
 * takes the global mutex "Global\TermBridgeMutex" (one host process at a
 * time; a holder that ended without deinitialize does not keep it), reads
 * the map files and the list file of definition files, and opens the link to
 * the dispatcher. 0 when started, and at once when already initialized (the
 * session, its settings and its connection stay as they are). 1 when another
 * process holds the mutex for 300 ms or it cannot be made. Files that are
 * missing or broken, and a port that cannot be opened, do not fail the call:
 * they are logged, and the commands that need them fail later. A failure
 * leaves no failure text (getFailureMessage gives the not-ready text). */
TB_API int TB_CALL initialize_old(unsigned short consoleToDispatcherPort,
                                  const char* dispatcherAddress,
                                  unsigned short dispatcherToConsolePort,
                                  const char* macMapFile, const char* phyMapFile,
                                  const char* structListFile);
/* Ends the session: tells the dispatcher, stops the link, closes the log
 * file and releases the global mutex. 0, also when not initialized; 1 only
 * after a crash, and the mutex then stays held.
 * Not while another thread is in a call of this library. A later initialize
 * in the same process numbers its packets on from where this session stopped,
 * so that a late answer to one of its commands never pairs with a new one. */
TB_API int TB_CALL deinitialize(void);
/* The library's version, "major.minor.build" and a line end: on Windows from
 * the DLL's version resource, elsewhere the version it was built with. Works
 * without initialize; every call returns the same buffer. */
TB_API const char* TB_CALL ver(void);

/* Commands and their results */

/* Sends one command line (a console command of the definition files,
 * MEM_READ, MEM_WRITE or a native command) and waits at most timeoutMs for
 * its answer (0: without limit). Each command starts with an empty result
 * and failure text.
 * 0 when the answer came and holds data (getResultBuffer, getResultLen), or
 * when the command expects no answer and was sent. 1 at once while another
 * thread's command runs (that command's result and failure text stay).
 * Otherwise 1 with the failure text:
 *   "Error: Failed to Send Command : '<command> '": the line could not be
 *     adapted (an unknown command, a bad parameter: the reason is in the
 *     log) or sent;
 *   "Timeout Error: No Event occur for command : '<command> '": no answer
 *     in time;
 *   when the answer came but gives no result: "Error!!! The dispatcher
 *     refused the Native Command!!!", "Error!!! The answer holds <n> bytes
 *     where the read asked for <m>: no data!!!", "Error!!! Failed to adapt
 *     console event. " or "Result length(<n>) is exceed the Results Buffer
 *     size limit(65535)!!!!";
 *   "Cancelled: ..." (tbx_cancelOperation in termbridge_ext.h). */
TB_API int TB_CALL sendCommand(const char* command, int timeoutMs);
/* As sendCommand, with the default time-out (setDefaultTimeout). */
TB_API int TB_CALL sendCommandDefaultTimeout(const char* command);
/* getResultLen bytes, followed by a NUL: read as text it never shows an
 * earlier result's tail, and after a failure it reads "". The version
 * report and the EEPROM reads leave their text here too, ended by a NUL
 * that only ReadEntireEeprom counts in getResultLen. */
TB_API const char* TB_CALL getResultBuffer(void);
/* The result's bytes as lower-case hexadecimal digits, two per byte, without
 * separators. A result of 65535 bytes does not fit the text's 131070
 * characters with the NUL: the text is then "", the failure text "Results
 * Exceed the MAX_RESULT_BUFFER_LIMIT" and the result length 0. */
TB_API const char* TB_CALL getResultBufferText(void);
/* The bytes of the result, set by each command (0 when it fails) and by
 * ReadEntireEeprom (the listing's length with its final NUL). The other
 * functions leave it as it was, or set 0 when they fail: after a field read
 * it is what the last command left. -1 before initialize. */
TB_API int TB_CALL getResultLen(void);
/* The text of the last failure. sendCommand, LoadFW and the EEPROM functions
 * start with "", so after one that succeeded it reads "". */
TB_API const char* TB_CALL getFailureMessage(void);

/* Settings. The setters do nothing before initialize, AllowWriteLogsToFile
 * excepted. */

/* The time-out of sendCommandDefaultTimeout in milliseconds (0: without
 * limit, stored as -1). 15000 until set; it stays across deinitialize and
 * initialize. */
TB_API void TB_CALL setDefaultTimeout(int timeoutMs);
/* The default time-out (-1: without limit); -1 also before initialize. */
TB_API int TB_CALL getDefaultTimeout(void);
/* Log lines of a level up to this one are written from now on (1 errors,
 * 2 the course of each command, 3 detail; 2 after initialize), and the
 * level is sent on to the chip. */
TB_API void TB_CALL setLogSeverity(int level);
/* The level; -1 before initialize. */
TB_API int TB_CALL getLogSeverity(void);
/* How long each step inside an operation waits for its answer, in
 * milliseconds: the 16-byte pieces of LoadFW, of the EEPROM transfers and of
 * a console command's delivery into the chip's mailbox. 1000 after
 * initialize; 0 waits without limit (stored as -1). */
TB_API void TB_CALL setInternalCommandTimeout(int timeoutMs);
/* false stops writing log lines into the log file, true lets them go on;
 * the crash file still receives its lines. Works without initialize, but
 * the log file's creation (the first log line after loading the library or
 * after deinitialize: ver and initialize write one) allows writing again. */
TB_API void TB_CALL AllowWriteLogsToFile(bool allow);

/* Chip */

/* Sends the dispatcher's synchronisation command and pauses one second.
 * 0 whether or not a dispatcher took it; 1 before initialize. */
TB_API int TB_CALL SyncChipAccess(void);
/* Loads the firmware package into the chip, each 16-byte piece written and
 * read back, in the order MAC, PHY, ASIP, interrupt-vector data; then starts
 * it and, after the start pause (tbx_setFirmwareStartPause, 2000 ms), sets
 * the link back to its working speed. 0 when the firmware was started; -1
 * before initialize. Otherwise 1 with the failing step as the failure text:
 *   "<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from
 *     FW file!": the package could not be read or is broken; nothing was
 *     sent to the chip;
 *   "<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!", the same
 *     with PHY and ASIPs, "<ConsoleAppLogic>Error!!! Failed to Load MAC data
 *     that should be loaded to the BootRom's Interrupt Vector #2 section!",
 *     "<ConsoleAppLogic>Error!!! Failed to run the Firmware after code was
 *     loaded!": what was written stays written, and the link keeps the load
 *     set-up;
 *   "Cancelled: ..." (tbx_cancelOperation). */
TB_API int TB_CALL LoadFW(const char* firmwareFile);
/* Reads the version words of the running MAC and PHY firmware, one MEM_READ
 * command each that waits at most 1000 ms, and returns the report, which
 * also goes to standard output. A word that could not be read shows as
 * -842150451 (0xCDCDCDCD). The report ends with an "Incompatible Version"
 * block when MAC and PHY differ in major, minor or branch version, and with
 * one when they differ in the Phy-Mac interface revision. It does not fail
 * as such: the failure text and getResultLen are those of the last version
 * command. */
TB_API const char* TB_CALL getSystemVersionInfo(void);

/* EEPROM: an image of the chip's EEPROM, laid out by the EEPROM fields of
 * the definition files, which the host fills, changes and burns. */

/* Fills the image: mode 0 from the definition files' values (path unused),
 * 1 from the binary image file at path (every field is then marked for the
 * next partial burn), 2 from the chip, 3 from the definition files' values
 * and then the "name = value" lines of the value file at path (the format of
 * ReadEntireEeprom's listing). 1 on failure, and for another mode, with the
 * failure text "Failed to Init EEprom Interface (mode <mode>) <path>", or
 * "Cancelled: ..." for a stopped chip read. */
TB_API int TB_CALL InitEepromIF(int mode, const char* path);
/* Sets a field in the image (not on the chip) and marks it for the next
 * partial burn. 1 with the failure text "Failed to Update EEprom field
 * <name>: <reason>" when there is no such field, the field cannot be set (a
 * section header, padding, the end mark) or the value does not fit it. */
TB_API int TB_CALL UpdateEepromField(const char* fieldName, const char* value);
/* Writes the image to the chip: with partial nonzero the marked fields, else
 * the whole image. 1 when written; 0 when not, also before initialize and
 * after a crash, with the failure text "EEprom wasn't burnt: no field was
 * updated since the last partial burn", "Failed to Burn EEprom!!!" or
 * "Cancelled: ...". A partial burn writes the fields changed since the last
 * partial burn that wrote them: the fields of a run the chip did not confirm
 * stay marked, so that the next partial burn writes them again. */
TB_API int TB_CALL BurnEeprom(unsigned char partial);
/* Writes the image into the binary file at path, whole or not at all. 1 with
 * the failure text "Failed to Dump EEprom Table to File: <path>". */
TB_API int TB_CALL DumpEepromTableToFile(const char* path);
/* The three reads return the result buffer (getResultBuffer) when they
 * succeed and the failure text (getFailureMessage) when not: a host tells
 * them apart by the pointer. */
/* The listing of the listed fields, read from the chip: "name = value" and a
 * line end per field. A path that is not empty also receives it, whole or
 * not at all; a path that cannot be written fails before the chip is read.
 * Failure texts: "Failed to Read EEprom!!!", "Failed to Read EEprom!!,Data
 * length exceed the buffer size" (65536 characters or more), "Cancelled:
 * ...". */
TB_API const char* TB_CALL ReadEntireEeprom(const char* path);
/* One field's value as text, read from the chip. Failure text "Failed to
 * Read EEprom!!!", for an unknown name as for a failed read. */
TB_API const char* TB_CALL ReadFieldFromEeprom(const char* fieldName);
/* The same from the image, without chip traffic. */
TB_API const char* TB_CALL ReadFieldFromVolatile(const char* fieldName);

#ifdef __cplusplus
}
#endif

#endif /* TERMBRIDGE_H */
