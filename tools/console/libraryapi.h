// The library as the console uses it: loaded at run time, the way real hosts
// load it, with the exports resolved by name. The tbx_ extensions are
// optional: a library without them still serves.
#ifndef TB_CONSOLE_LIBRARYAPI_H
#define TB_CONSOLE_LIBRARYAPI_H

#include <memory>
#include <string>

#include "platform/platform_tools.h"
#include "termbridge.h"
#include "termbridge_ext.h"

// Each pointer takes its type from the declaration in termbridge.h or
// termbridge_ext.h: a changed signature changes the pointer with it, and the
// compiler checks every call of the console against it.
struct LibraryApi {
    decltype(&::initialize) initialize = nullptr;
    decltype(&::initialize_old) initialize_old = nullptr;
    decltype(&::deinitialize) deinitialize = nullptr;
    decltype(&::sendCommand) sendCommand = nullptr;
    decltype(&::getResultBuffer) getResultBuffer = nullptr;
    decltype(&::getResultBufferText) getResultBufferText = nullptr;
    decltype(&::getResultLen) getResultLen = nullptr;
    decltype(&::getFailureMessage) getFailureMessage = nullptr;
    decltype(&::setLogSeverity) setLogSeverity = nullptr;
    decltype(&::getLogSeverity) getLogSeverity = nullptr;
    decltype(&::setInternalCommandTimeout) setInternalCommandTimeout = nullptr;
    decltype(&::SyncChipAccess) SyncChipAccess = nullptr;
    decltype(&::LoadFW) LoadFW = nullptr;
    decltype(&::getSystemVersionInfo) getSystemVersionInfo = nullptr;
    decltype(&::InitEepromIF) InitEepromIF = nullptr;
    decltype(&::UpdateEepromField) UpdateEepromField = nullptr;
    decltype(&::BurnEeprom) BurnEeprom = nullptr;
    decltype(&::DumpEepromTableToFile) DumpEepromTableToFile = nullptr;
    decltype(&::ReadEntireEeprom) ReadEntireEeprom = nullptr;
    decltype(&::ReadFieldFromEeprom) ReadFieldFromEeprom = nullptr;
    decltype(&::ReadFieldFromVolatile) ReadFieldFromVolatile = nullptr;
    // Extensions (null when the library has none).
    decltype(&::tbx_setProgressCallback) setProgressCallback = nullptr;
    decltype(&::tbx_getLastOperationStats) getLastOperationStats = nullptr;
    decltype(&::tbx_setStoppableProgressCallback) setStoppableProgressCallback = nullptr;
    decltype(&::tbx_cancelOperation) cancelOperation = nullptr;
    decltype(&::tbx_getLastOperationLog) getLastOperationLog = nullptr;
    decltype(&::tbx_getLogFilePath) getLogFilePath = nullptr;
    decltype(&::tbx_getLinkState) getLinkState = nullptr;
    decltype(&::tbx_readMemory) readMemory = nullptr;
    decltype(&::tbx_writeMemory) writeMemory = nullptr;
    decltype(&::tbx_verifyFW) verifyFW = nullptr;

    // Loads the library and resolves the exports; on failure `error` says why.
    static std::unique_ptr<platform::DynamicLibrary> Load(const std::string& path, LibraryApi& api,
                                                          std::string& error);
};

#endif
