#include "libraryapi.h"

namespace {

template <typename Function>
void Resolve(platform::DynamicLibrary& library, const char* name, Function& function, std::string& missing) {
    function = reinterpret_cast<Function>(library.Symbol(name));
    if (function == nullptr && missing.empty()) missing = name;
}

}  // namespace

std::unique_ptr<platform::DynamicLibrary> LibraryApi::Load(const std::string& path, LibraryApi& api,
                                                           std::string& error) {
    std::unique_ptr<platform::DynamicLibrary> library = platform::LoadDynamicLibrary(path, error);
    if (!library) return nullptr;
    std::string missing;
    Resolve(*library, "initialize", api.initialize, missing);
    Resolve(*library, "initialize_old", api.initialize_old, missing);
    Resolve(*library, "deinitialize", api.deinitialize, missing);
    Resolve(*library, "sendCommand", api.sendCommand, missing);
    Resolve(*library, "getResultBuffer", api.getResultBuffer, missing);
    Resolve(*library, "getResultBufferText", api.getResultBufferText, missing);
    Resolve(*library, "getResultLen", api.getResultLen, missing);
    Resolve(*library, "getFailureMessage", api.getFailureMessage, missing);
    Resolve(*library, "setLogSeverity", api.setLogSeverity, missing);
    Resolve(*library, "getLogSeverity", api.getLogSeverity, missing);
    Resolve(*library, "setInternalCommandTimeout", api.setInternalCommandTimeout, missing);
    Resolve(*library, "SyncChipAccess", api.SyncChipAccess, missing);
    Resolve(*library, "LoadFW", api.LoadFW, missing);
    Resolve(*library, "getSystemVersionInfo", api.getSystemVersionInfo, missing);
    Resolve(*library, "InitEepromIF", api.InitEepromIF, missing);
    Resolve(*library, "UpdateEepromField", api.UpdateEepromField, missing);
    Resolve(*library, "BurnEeprom", api.BurnEeprom, missing);
    Resolve(*library, "DumpEepromTableToFile", api.DumpEepromTableToFile, missing);
    Resolve(*library, "ReadEntireEeprom", api.ReadEntireEeprom, missing);
    Resolve(*library, "ReadFieldFromEeprom", api.ReadFieldFromEeprom, missing);
    Resolve(*library, "ReadFieldFromVolatile", api.ReadFieldFromVolatile, missing);
    if (!missing.empty()) {
        error = "the library does not export " + missing;
        return nullptr;
    }
    std::string optional;
    Resolve(*library, "tbx_setProgressCallback", api.setProgressCallback, optional);
    Resolve(*library, "tbx_getLastOperationStats", api.getLastOperationStats, optional);
    Resolve(*library, "tbx_setStoppableProgressCallback", api.setStoppableProgressCallback, optional);
    Resolve(*library, "tbx_cancelOperation", api.cancelOperation, optional);
    Resolve(*library, "tbx_getLastOperationLog", api.getLastOperationLog, optional);
    Resolve(*library, "tbx_getLogFilePath", api.getLogFilePath, optional);
    Resolve(*library, "tbx_getLinkState", api.getLinkState, optional);
    Resolve(*library, "tbx_readMemory", api.readMemory, optional);
    Resolve(*library, "tbx_writeMemory", api.writeMemory, optional);
    Resolve(*library, "tbx_verifyFW", api.verifyFW, optional);
    return library;
}
