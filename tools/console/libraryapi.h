// The library as the console uses it: loaded at run time, the way real hosts
// load it, with the exports resolved by name. The tbx_ extensions are
// optional: a library without them still serves.
#ifndef TB_CONSOLE_LIBRARYAPI_H
#define TB_CONSOLE_LIBRARYAPI_H

#include <memory>
#include <string>

#include "platform/platform_tools.h"
#include "termbridge_ext.h"

struct LibraryApi {
    int (*initialize)(const char*, const char*, const char*) = nullptr;
    int (*initialize_old)(unsigned short, const char*, unsigned short, const char*, const char*,
                          const char*) = nullptr;
    int (*deinitialize)() = nullptr;
    int (*sendCommand)(const char*, int) = nullptr;
    const char* (*getResultBuffer)() = nullptr;
    const char* (*getResultBufferText)() = nullptr;
    int (*getResultLen)() = nullptr;
    const char* (*getFailureMessage)() = nullptr;
    void (*setLogSeverity)(int) = nullptr;
    int (*getLogSeverity)() = nullptr;
    void (*setInternalCommandTimeout)(int) = nullptr;
    int (*SyncChipAccess)() = nullptr;
    int (*LoadFW)(const char*) = nullptr;
    const char* (*getSystemVersionInfo)() = nullptr;
    int (*InitEepromIF)(int, const char*) = nullptr;
    int (*UpdateEepromField)(const char*, const char*) = nullptr;
    int (*BurnEeprom)(unsigned char) = nullptr;
    int (*DumpEepromTableToFile)(const char*) = nullptr;
    const char* (*ReadEntireEeprom)(const char*) = nullptr;
    const char* (*ReadFieldFromEeprom)(const char*) = nullptr;
    const char* (*ReadFieldFromVolatile)(const char*) = nullptr;
    // Extensions (null when the library has none).
    void (*setProgressCallback)(tbx_ProgressCallback, void*) = nullptr;
    int (*getLastOperationStats)(tbx_OperationStats*) = nullptr;
    void (*setStoppableProgressCallback)(tbx_StoppableProgressCallback, void*) = nullptr;
    void (*cancelOperation)() = nullptr;
    const char* (*getLastOperationLog)() = nullptr;
    const char* (*getLogFilePath)() = nullptr;
    int (*getLinkState)(tbx_LinkState*) = nullptr;

    // Loads the library and resolves the exports; on failure `error` says why.
    static std::unique_ptr<platform::DynamicLibrary> Load(const std::string& path, LibraryApi& api,
                                                          std::string& error);
};

#endif
