// The 26 exported functions, the tbx_ extensions, and the library-wide state
// behind them. Each is a thin frame around one operation of the application
// object; the frames keep exceptions from ever reaching the host.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "consoleappsockets.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "packethandler.h"
#include "platform/platform.h"
#include "strformat.h"
#include "termbridge.h"
#include "termbridge_ext.h"
#include "trafficmanager.h"

namespace {

constexpr const char* kNotReady = "Fatal Error!!! Console Application isn't Ready!!!!";
constexpr const char* kRegistryPorts = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports";
constexpr const char* kRegistryAddresses = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses";
constexpr std::size_t kAddressChars = 16;

ConsoleAppLogic* g_app = nullptr;
std::unique_ptr<platform::NamedMutex> g_mutex;
std::uint16_t g_version[4] = {0, 0, 0, 0};
char g_versionText[100] = "";
std::string g_dispatcherAddress;  // lives as long as the library

// The host's progress callback, kept across initialize and deinitialize:
// one that only reports, or one that may stop the operation.
tbx_ProgressCallback g_progressCallback = nullptr;
tbx_StoppableProgressCallback g_stoppableCallback = nullptr;
void* g_progressUser = nullptr;
// Kept across initialize and deinitialize, as the callbacks are.
int g_firmwareStartPauseMs = ConsoleAppLogic::kDefaultFirmwareStartPauseMs;
constexpr int kLongestFirmwareStartPauseMs = 60000;
// The application a cancel request reaches from another thread.
std::atomic<ConsoleAppLogic*> g_cancelTarget{nullptr};

int ForwardProgress(const char* stage, std::uint64_t done, std::uint64_t total, void* /*user*/) {
    if (g_stoppableCallback != nullptr) return g_stoppableCallback(stage, done, total, g_progressUser);
    if (g_progressCallback != nullptr) g_progressCallback(stage, done, total, g_progressUser);
    return 0;
}

void ApplyProgressCallback() {
    if (g_app == nullptr) return;
    const bool any = g_progressCallback != nullptr || g_stoppableCallback != nullptr;
    g_app->SetStoppableProgressCallback(any ? &ForwardProgress : nullptr, nullptr);
}

// Every export that talks to the chip starts the traffic counts, the
// operation log and the cancel request afresh.
void BeginOperation() {
    StartOperationLog();
    if (g_app == nullptr) return;
    g_app->BeginOperation();
    if (g_app->GetTrafficManager() != nullptr) g_app->GetTrafficManager()->ResetTrafficCounters();
}

// A text handed to the host: stays valid until the same export is called again.
const char* KeptText(std::string& slot, std::string text) {
    slot = std::move(text);
    return slot.c_str();
}

void CrashLine(const char* exportName) { LogCrash(Format("Crash: %s method really crashed", exportName)); }

// Runs `body` and turns any exception into the export's crash line and value.
template <typename Result, typename Body>
Result Guarded(const char* exportName, Result crashValue, Body body) {
    try {
        return body();
    } catch (...) {
        CrashLine(exportName);
        return crashValue;
    }
}

template <typename Body>
void GuardedVoid(const char* exportName, Body body) {
    try {
        body();
    } catch (...) {
        CrashLine(exportName);
    }
}

// Decimal text to a port: leading digits only, a text without digits gives 0.
std::uint16_t PortFromText(const std::string& text) {
    return static_cast<std::uint16_t>(std::strtoul(text.c_str(), nullptr, 10));
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

void PrintBanner() {
    std::printf("********************************************************");
    std::printf("\n*****************  TermBridge Console Adaptor *****************\n");
    std::printf("\nMajor version:\t%d\nMinor version:\t%d\nBuild Number:\t%d\nRevision:\t%d\n\n\n", g_version[0],
                g_version[1], g_version[2], g_version[3]);
    std::printf("********************************************************\n");
    std::fflush(stdout);
}

bool TryGetMutex() {
    if (!g_mutex) g_mutex = platform::CreateNamedMutex("Global\\TermBridgeMutex");
    if (!g_mutex) return false;
    LogStartupLine("tryGetMutex() Wait for the mutex to get a waitResult for the mutex handle");
    return g_mutex->TryLock(300);
}

void ReleaseMutex() {
    if (!g_mutex) return;
    g_mutex->Unlock();
    g_mutex.reset();
}

}  // namespace

namespace {
// A command from another thread while one runs is refused: the slot is
// taken first, so that the refused call leaves the running command's
// time-out, cancel request, operation log and traffic figures alone.
template <typename SetTimeout>
int SendTakingTheSlot(const char* command, SetTimeout setTimeout) {
    if (g_app == nullptr) return 1;
    const std::string line = Text(command);
    if (!g_app->TakeCommandSlot(line)) return 1;
    BeginOperation();
    setTimeout();
    return g_app->HandleTakenCommand(line);
}

// A read export's text: the result when the read succeeded, else the failure.
template <typename Read>
const char* EepromReadText(const char* exportName, Read read) {
    return Guarded(exportName, kNotReady, [&] {
        if (g_app == nullptr) return kNotReady;
        BeginOperation();
        return read() == 0 ? g_app->ResultBuffer() : g_app->FailureMessage();
    });
}
}  // namespace

extern "C" {

const char* ver(void) {
    const std::string path = platform::OwnModulePath();
    LogMessage(path, LOG_DETAIL);
    std::uint16_t parts[4];
    if (platform::OwnModuleVersion(path, parts)) {
        for (int i = 0; i < 4; ++i) g_version[i] = parts[i];
    }
    std::snprintf(g_versionText, sizeof g_versionText, "%d.%d.%d\n", g_version[0], g_version[1], g_version[2]);
    return g_versionText;
}

int initialize_old(unsigned short consoleToDispatcherPort, const char* dispatcherAddress,
                   unsigned short dispatcherToConsolePort, const char* macMapFile, const char* phyMapFile,
                   const char* structListFile) {
    ver();
    PrintBanner();
    if (g_app != nullptr) return 0;
    if (!TryGetMutex()) return 1;
    try {
        g_app = new ConsoleAppLogic(consoleToDispatcherPort, Text(dispatcherAddress), dispatcherToConsolePort,
                                    Text(macMapFile), Text(phyMapFile), Text(structListFile));
    } catch (...) {
        ReleaseMutex();
        return 1;
    }
    ApplyProgressCallback();
    g_app->SetFirmwareStartPause(g_firmwareStartPauseMs);
    g_cancelTarget.store(g_app);
    return g_app != nullptr ? 0 : 1;
}

int initialize(const char* macMapFile, const char* phyMapFile, const char* structListFile) {
    try {
        const std::string udpPort = platform::ReadUserRegistryValue(kRegistryPorts, "Console_To_Dispatcher");
        if (udpPort.empty()) return 1;
        const std::string address = platform::ReadUserRegistryValue(kRegistryAddresses, "Console_To_Dispatcher");
        if (address.empty()) return 1;
        const std::string tcpPort = platform::ReadUserRegistryValue(kRegistryPorts, "Dispatcher_To_Console");
        if (tcpPort.empty()) return 1;
        g_dispatcherAddress = address.substr(0, kAddressChars);
        return initialize_old(PortFromText(udpPort), g_dispatcherAddress.c_str(), PortFromText(tcpPort), macMapFile,
                              phyMapFile, structListFile);
    } catch (const std::exception& error) {
        LogCrash("<initialize method crashed>");
        LogCrash(error.what());
        return 1;
    } catch (...) {
        CrashLine("initialize");
        return 1;
    }
}

int deinitialize(void) {
    try {
        if (g_app != nullptr) {
            g_cancelTarget.store(nullptr);
            StopOperationLog();
            delete g_app;
            g_app = nullptr;
            ReleaseMutex();
        }
        ReleaseMutex();
        return 0;
    } catch (...) {
        CrashLine("deinitialize");
        return 1;
    }
}

int sendCommand(const char* command, int timeoutMs) {
    return Guarded("sendCommand", 1, [&] {
        return SendTakingTheSlot(command, [&] { g_app->SetCommandTimeout(timeoutMs == 0 ? -1 : timeoutMs); });
    });
}

int sendCommandDefaultTimeout(const char* command) {
    return Guarded("sendCommandDefaultTimeout", 1,
                   [&] { return SendTakingTheSlot(command, [] { g_app->ApplyDefaultTimeout(); }); });
}

const char* getSystemVersionInfo(void) {
    if (g_app == nullptr) return kNotReady;
    BeginOperation();
    return g_app->BuildVersionReport();
}

const char* getResultBuffer(void) {
    return Guarded<const char*>("getResultBuffer", kNotReady,
                                [] { return g_app != nullptr ? g_app->ResultBuffer() : kNotReady; });
}

const char* getResultBufferText(void) {
    return Guarded<const char*>("getResultBufferText", kNotReady,
                                [] { return g_app != nullptr ? g_app->GetResultBufferText() : kNotReady; });
}

int getResultLen(void) {
    return Guarded("getResultLen", 1,
                   [] { return g_app != nullptr ? static_cast<int>(g_app->ResultLength()) : -1; });
}

const char* getFailureMessage(void) {
    return Guarded<const char*>("getFailureMessage", kNotReady,
                                [] { return g_app != nullptr ? g_app->FailureMessage() : kNotReady; });
}

void setDefaultTimeout(int timeoutMs) {
    GuardedVoid("setDefaultTimeout", [&] {
        if (g_app == nullptr) return;
        ConsoleAppLogic::SetDefaultTimeout(timeoutMs);
        g_app->ApplyDefaultTimeout();
    });
}

int getDefaultTimeout(void) {
    return Guarded("getDefaultTimeout", 1, [] { return g_app != nullptr ? ConsoleAppLogic::DefaultTimeout() : -1; });
}

void setLogSeverity(int level) {
    GuardedVoid("setLogSeverity", [&] {
        BeginOperation();
        if (g_app != nullptr) g_app->SetLogSeverity(level);
    });
}

int getLogSeverity(void) {
    return Guarded("getLogSeverity", 1, [] { return g_app != nullptr ? LogSeverity() : -1; });
}

int LoadFW(const char* firmwareFile) {
    return Guarded("LoadFW", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->LoadFirmware(Text(firmwareFile)) : -1;
    });
}

void setInternalCommandTimeout(int timeoutMs) {
    GuardedVoid("setInternalCommandTimeout", [&] {
        if (g_app != nullptr) g_app->SetInternalCommandTimeout(timeoutMs == 0 ? -1 : timeoutMs);
    });
}

int SyncChipAccess(void) {
    return Guarded("SyncChipAccess", 1, [] {
        BeginOperation();
        return g_app != nullptr ? g_app->SyncChipAccess() : 1;
    });
}

// The EEPROM exports are guarded like the others: an exception must never
// reach a C host.
int InitEepromIF(int mode, const char* path) {
    return Guarded("InitEepromIF", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->InitEepromInterface(mode, Text(path)) : 1;
    });
}

int UpdateEepromField(const char* fieldName, const char* value) {
    return Guarded("UpdateEepromField", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->UpdateEepromField(Text(fieldName), Text(value)) : 1;
    });
}

// BurnEeprom answers 1 when it wrote: without an application, and after a
// crash, it answers 0, so that nothing reads as burnt that was not.
int BurnEeprom(unsigned char partial) {
    return Guarded("BurnEeprom", 0, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->BurnEeprom(partial != 0) : 0;
    });
}

int DumpEepromTableToFile(const char* path) {
    return Guarded("DumpEepromTableToFile", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->DumpEepromTable(Text(path)) : 1;
    });
}

const char* ReadEntireEeprom(const char* path) {
    return EepromReadText("ReadEntireEeprom", [&] { return g_app->ReadEntireEeprom(Text(path)); });
}

const char* ReadFieldFromEeprom(const char* fieldName) {
    return EepromReadText("ReadFieldFromEeprom", [&] { return g_app->ReadFieldFromEeprom(Text(fieldName)); });
}

const char* ReadFieldFromVolatile(const char* fieldName) {
    return EepromReadText("ReadFieldFromVolatile", [&] { return g_app->ReadFieldFromVolatile(Text(fieldName)); });
}

void AllowWriteLogsToFile(bool allow) { SetFileLoggingAllowed(allow); }

// ---------------------------------------------------------------- extensions

void tbx_setProgressCallback(tbx_ProgressCallback callback, void* user) {
    GuardedVoid("tbx_setProgressCallback", [&] {
        g_progressCallback = callback;
        g_stoppableCallback = nullptr;
        g_progressUser = user;
        ApplyProgressCallback();
    });
}

void tbx_setStoppableProgressCallback(tbx_StoppableProgressCallback callback, void* user) {
    GuardedVoid("tbx_setStoppableProgressCallback", [&] {
        g_stoppableCallback = callback;
        g_progressCallback = nullptr;
        g_progressUser = user;
        ApplyProgressCallback();
    });
}

void tbx_cancelOperation(void) {
    GuardedVoid("tbx_cancelOperation", [] {
        if (ConsoleAppLogic* app = g_cancelTarget.load()) app->RequestCancel();
    });
}

const char* tbx_getLastOperationLog(void) {
    static std::string text;
    return Guarded<const char*>("tbx_getLastOperationLog", "", [] { return KeptText(text, OperationLogText()); });
}

const char* tbx_getLogFilePath(void) {
    static std::string path;
    return Guarded<const char*>("tbx_getLogFilePath", "", [] { return KeptText(path, CurrentLogFilePath()); });
}

int tbx_getLinkState(tbx_LinkState* state) {
    return Guarded("tbx_getLinkState", 1, [&] {
        if (state == nullptr) return 1;
        *state = tbx_LinkState{};
        if (g_app == nullptr || g_app->GetTrafficManager() == nullptr) return 1;
        const ConsoleAppSockets* sockets = g_app->GetTrafficManager()->Packets().Sockets();
        if (sockets == nullptr) return 1;
        state->connected = sockets->IsConnected() ? 1 : 0;
        state->connections = sockets->ConnectionsTaken();
        state->listenPort = sockets->ListenPort();
        state->commandPort = sockets->TargetPort();
        return 0;
    });
}

int tbx_getLastOperationStats(tbx_OperationStats* stats) {
    return Guarded("tbx_getLastOperationStats", 1, [&] {
        if (stats == nullptr) return 1;
        *stats = tbx_OperationStats{};
        if (g_app == nullptr || g_app->GetTrafficManager() == nullptr) return 1;
        const TrafficSnapshot counts = g_app->GetTrafficManager()->TrafficCounts();
        stats->commandsSent = counts.commandsSent;
        stats->eventsAccepted = counts.eventsAccepted;
        stats->eventsDropped = counts.eventsDropped;
        stats->bytesSent = counts.bytesSent;
        stats->bytesReceived = counts.bytesReceived;
        return 0;
    });
}

int tbx_readMemory(unsigned int address, unsigned int length, unsigned char* bytes) {
    return Guarded("tbx_readMemory", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->ReadMemory(address, length, bytes) : -1;
    });
}

int tbx_writeMemory(unsigned int address, const unsigned char* bytes, unsigned int length) {
    return Guarded("tbx_writeMemory", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->WriteMemory(address, bytes, length) : -1;
    });
}

int tbx_verifyFW(const char* firmwareFile) {
    return Guarded("tbx_verifyFW", 1, [&] {
        BeginOperation();
        return g_app != nullptr ? g_app->VerifyFirmware(Text(firmwareFile)) : -1;
    });
}

int tbx_setFirmwareStartPause(int milliseconds) {
    return Guarded("tbx_setFirmwareStartPause", 1, [&] {
        if (milliseconds < 0 || milliseconds > kLongestFirmwareStartPauseMs) return 1;
        g_firmwareStartPauseMs = milliseconds;
        if (g_app != nullptr) g_app->SetFirmwareStartPause(milliseconds);
        return 0;
    });
}

}  // extern "C"
