// The dispatcher's TCP byte stream through the packet handler's own cutting,
// queue, repair and pairing step, fed in-process (a handler without sockets
// or threads), with the accepted events going on to the event adapter of the
// example definition set. The input is a sequence of operations, each chosen
// by one byte (its low two bits):
//
//   0  a piece of stream: length (2 bytes, little-endian, taken modulo 6000,
//      so that a piece may exceed the handler's 5200-byte receive area),
//      then that many bytes
//   1  commands sent: (byte >> 2) + 1 of them, moving the packet number that
//      events must carry to be accepted
//   2  the queued events delivered
//   3  a flood: the next 520 bytes repeated (2 bytes, modulo 1100) times;
//      three floods without a delivery between them fill the queue
//
// What is left is delivered at the end.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "consoleevtadapter.h"
#include "consolelogger.h"
#include "fuzzsupport.h"
#include "packethandler.h"
#include "packets.h"
#include "structaccess.h"

namespace {

constexpr std::size_t kMaxPiece = 6000;
constexpr std::size_t kMaxFlood = 1100;

// Takes every accepted event as the answer to a console command.
class AdapterReceiver : public PacketEventReceiver {
public:
    explicit AdapterReceiver(StructAccess& database) : adapter_(&database) {}

    void HandleEvent(const std::uint8_t* data, std::uint32_t length) override {
        FUZZ_CHECK(length <= kEventDataSize);
        bool isSubEvent = false;
        adapter_.SetCaptureDataFlag((length & 1) != 0);
        adapter_.AdaptEvent(data, length, isSubEvent);
        FUZZ_CHECK(adapter_.GetResultLength() <= ConsoleEvtAdapter::kResultBufferSize);
        ++accepted_;
    }
    std::size_t Accepted() const { return accepted_; }

private:
    ConsoleEvtAdapter adapter_;
    std::size_t accepted_ = 0;
};

struct StreamModel {
    std::uint64_t bytes = 0;      // fed so far
    std::uint64_t delivered = 0;  // packets taken from the queue
};

void Feed(PacketHandler& handler, StreamModel& model, const std::string& bytes) {
    handler.ReceiveBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    model.bytes += bytes.size();
    FUZZ_CHECK(handler.CarriedBytes() == model.bytes % kEventPacketSize);
    FUZZ_CHECK(handler.QueuedEvents() <= EventQueue::kMaxPackets);
    // Every complete record was queued, delivered, or refused by a full queue.
    FUZZ_CHECK(model.delivered + handler.QueuedEvents() <= model.bytes / kEventPacketSize);
}

void Deliver(PacketHandler& handler, StreamModel& model) {
    model.delivered += handler.DeliverQueuedEvents();
    FUZZ_CHECK(handler.QueuedEvents() == 0);
    FUZZ_CHECK(handler.ReceivedEventCount() == model.delivered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StructAccess& database = fuzzsupport::ExampleDatabase();
    // Most fuzzed packets are oversized, and each is dumped in hex at the
    // normal level: formatting those dumps (covered by the other targets)
    // would take most of the run, so only errors are formatted here.
    SetLogSeverityLevel(LOG_ERROR);
    // Built afresh for every input, in place: the receiver's event adapter
    // holds a 64 KB buffer, and a heap block of that size per input
    // (allocated, poisoned, quarantined by the address sanitizer) costs more
    // than most inputs.
    static std::optional<AdapterReceiver> receiver;
    static std::optional<PacketHandler> handler;
    handler.reset();
    receiver.emplace(database);
    handler.emplace(&*receiver, PacketHandler::NoTransport{});
    StreamModel model;

    fuzzsupport::InputReader input(data, size);
    while (!input.AtEnd()) {
        const std::uint8_t operation = input.Byte();
        switch (operation & 3) {
            case 0:
                Feed(*handler, model, input.Bytes(input.Le16() % kMaxPiece));
                break;
            case 1:
                for (int i = 0; i <= (operation >> 2); ++i) handler->SendNativeCommand(NativeCommand_t{});
                break;
            case 2:
                Deliver(*handler, model);
                break;
            default: {
                const std::size_t copies = input.Le16() % kMaxFlood;
                const std::string record = input.Bytes(kEventPacketSize);
                // Kept between inputs: a fresh flood of up to 572 KB would be
                // mapped and faulted in page by page on every input.
                static std::string flood;
                flood.clear();
                for (std::size_t i = 0; i < copies; ++i) flood += record;
                Feed(*handler, model, flood);
                break;
            }
        }
    }
    Deliver(*handler, model);
    FUZZ_CHECK(receiver->Accepted() <= model.delivered);
    return 0;
}
