// The traffic manager: the chip's command mailbox, the internal operations
// that wait for their own responses, and the system commands.
#ifndef TERMBRIDGE_TRAFFICMANAGER_H
#define TERMBRIDGE_TRAFFICMANAGER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "packets.h"

class ConsoleAppLogic;

class TrafficManager {
public:
    TrafficManager(ConsoleAppLogic* owner, std::uint16_t targetPort, const std::string& targetAddress,
                   std::uint16_t listenPort);
    ~TrafficManager();

    bool HandleNonNativeCommand(const std::uint8_t* bytes, std::size_t length, bool waitForEvents);
    bool SendNativeCommand(const NativeCommand_t& command);

    void SetInternalTimeout(int timeoutMs);
    bool SetChipLogSeverity(int severity);
    bool SendSyncCommand();
    bool SendCloseCommand();

    // Mailbox addresses (set up by the owner from the definitions).
    void SetCommandBufferAddress(std::uint32_t address);
    void SetCounterReadAddress(std::uint32_t address);
    void SetCounterWriteAddress(std::uint32_t address);
    std::uint32_t CommandBufferAddress() const;
    std::uint32_t CounterReadAddress() const;
    std::uint32_t CounterWriteAddress() const;
};

#endif
