#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "consolenativeadapter.h"
#include "packethandler.h"
#include "packets.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Head(const NativePacketBytes& packet, std::size_t count) { return Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(count)); }

// ---------------------------------------------------------------- native packets

TEST(NativePacket, ReadWordIsByteExact) {
    NativeCommand_t command;
    ASSERT_TRUE(ConsoleNativeAdapter::GetInstance().BuildReadWordCmd(0x1000, command));
    const NativePacketBytes packet = EncodeNativePacket(command, 0x2A);
    ASSERT_EQ(packet.size(), 524u);
    EXPECT_EQ(Head(packet, 12), (Bytes{0x01, 0x2A, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(NativePacket, WriteWordCarriesLengthAndLittleEndianValue) {
    NativeCommand_t command;
    ASSERT_TRUE(ConsoleNativeAdapter::GetInstance().BuildWriteWordCmd(0xBF108240, 258, command));
    const NativePacketBytes packet = EncodeNativePacket(command, 0);
    EXPECT_EQ(Head(packet, 16),
              (Bytes{0x01, 0x00, 0x01, 0x00, 0x40, 0x82, 0x10, 0xBF, 0x04, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00}));
}

TEST(NativePacket, AllDataBytesTravelWhateverTheLength) {
    NativeCommand_t command;
    command.Type = NATIVE_SYSTEM_COMMAND;
    command.AdditionalParam = SYSTEM_CLOSE;
    command.reserved = 0xABCD;  // never transmitted
    command.Data[511] = 0x77;
    const NativePacketBytes packet = EncodeNativePacket(command, 255);
    EXPECT_EQ(Head(packet, 12), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x04, 0x00}));
    EXPECT_EQ(packet[523], 0x77);

    std::uint8_t version = 0, number = 0;
    NativeCommand_t decoded;
    ASSERT_TRUE(DecodeNativePacket(packet.data(), packet.size(), version, number, decoded));
    EXPECT_EQ(decoded.Type, 0xFFFF);
    EXPECT_EQ(decoded.AdditionalParam, SYSTEM_CLOSE);
    EXPECT_EQ(decoded.Data[511], 0x77);
    EXPECT_FALSE(DecodeNativePacket(packet.data(), 523, version, number, decoded));
}

// ---------------------------------------------------------------- event packets

TEST(EventPacket, FieldsAtTheirOffsets) {
    EventPacketBytes bytes{};
    const Bytes head{0x01, 0x02, 0x34, 0x12, 0x07, 0x04, 0x10, 0x00};
    std::copy(head.begin(), head.end(), bytes.begin());
    bytes[8] = 0xAA;
    bytes[519] = 0xBB;
    const ConsoleEventPacket_t packet = DecodeEventPacket(bytes.data());
    EXPECT_EQ(packet.Version, 1);
    EXPECT_EQ(packet.Type, 2);
    EXPECT_EQ(packet.TxEventPacketNum, 0x1234);
    EXPECT_EQ(packet.RxCmdPacketNum, 7);
    EXPECT_EQ(packet.SourceID, 4);
    EXPECT_EQ(packet.Length, 16);
    EXPECT_EQ(packet.Data[0], 0xAA);
    EXPECT_EQ(packet.Data[511], 0xBB);
    EXPECT_EQ(EncodeEventPacket(packet), bytes);
}

// ---------------------------------------------------------------- stream cutting

Bytes StreamOf(std::size_t packets, std::size_t extra = 0) {
    Bytes stream(packets * kEventPacketSize + extra);
    for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i % 251);
    return stream;
}

struct Cutter {
    EventStream stream;
    std::vector<Bytes> records;

    void Feed(const std::uint8_t* bytes, std::size_t length) {
        ASSERT_LE(length, stream.FreeSpace());
        std::copy(bytes, bytes + length, stream.FreeArea());
        stream.Cut(length, [this](const std::uint8_t* record) { records.emplace_back(record, record + kEventPacketSize); });
    }
};

TEST(EventStreamCut, OneReadOfThreePacketsGivesThree) {
    const Bytes input = StreamOf(3);
    Cutter cutter;
    cutter.Feed(input.data(), input.size());
    ASSERT_EQ(cutter.records.size(), 3u);
    EXPECT_EQ(cutter.stream.Carried(), 0u);
    EXPECT_EQ(cutter.records[2], Bytes(input.begin() + 1040, input.end()));
}

TEST(EventStreamCut, PartialPacketIsCarriedToTheNextRead) {
    const Bytes input = StreamOf(2);
    Cutter cutter;
    cutter.Feed(input.data(), 1000);
    ASSERT_EQ(cutter.records.size(), 1u);
    EXPECT_EQ(cutter.stream.Carried(), 480u);
    EXPECT_EQ(cutter.stream.FreeSpace(), EventStream::kBufferSize - 480);
    cutter.Feed(input.data() + 1000, 40);
    ASSERT_EQ(cutter.records.size(), 2u);
    EXPECT_EQ(cutter.records[1], Bytes(input.begin() + 520, input.end()));
    EXPECT_EQ(cutter.stream.Carried(), 0u);
}

TEST(EventStreamCut, OddPiecesReassembleExactly) {
    const Bytes input = StreamOf(10, 0);
    Cutter cutter;
    const std::size_t pieces[] = {519, 1, 1, 1038, 7, 2000, 13, 1621};
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        cutter.Feed(input.data() + offset, piece);
        offset += piece;
    }
    ASSERT_EQ(offset, input.size());
    ASSERT_EQ(cutter.records.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(cutter.records[i], Bytes(input.begin() + static_cast<std::ptrdiff_t>(i * 520),
                                           input.begin() + static_cast<std::ptrdiff_t>((i + 1) * 520)))
            << "record " << i;
    }
}

TEST(EventStreamCut, FullBufferHoldsTenPackets) {
    const Bytes input = StreamOf(10);
    Cutter cutter;
    cutter.Feed(input.data(), 519);
    EXPECT_TRUE(cutter.records.empty());
    EXPECT_EQ(cutter.stream.Carried(), 519u);
    cutter.Feed(input.data() + 519, cutter.stream.FreeSpace());
    EXPECT_EQ(cutter.records.size(), 10u);
    cutter.stream.DiscardCarried();
    EXPECT_EQ(cutter.stream.FreeSpace(), EventStream::kBufferSize);
}

// ---------------------------------------------------------------- queue

std::unique_ptr<ConsoleEventPacket_t> Numbered(std::uint16_t n) {
    auto packet = std::make_unique<ConsoleEventPacket_t>();
    packet->TxEventPacketNum = n;
    return packet;
}

TEST(EventQueueBound, SurplusAbove3000IsRefused) {
    EventQueue queue;
    for (std::uint16_t i = 0; i < 3000; ++i) ASSERT_TRUE(queue.Push(Numbered(i)));
    EXPECT_FALSE(queue.Push(Numbered(3000)));
    EXPECT_EQ(queue.Size(), 3000u);
    std::unique_ptr<ConsoleEventPacket_t> packet;
    ASSERT_TRUE(queue.Pop(packet));
    EXPECT_EQ(packet->TxEventPacketNum, 0);
    EXPECT_TRUE(queue.Push(Numbered(3001)));
}

TEST(EventQueueBound, StopTakesPrecedenceOverQueuedPackets) {
    EventQueue queue;
    queue.Push(Numbered(1));
    queue.Stop();
    std::unique_ptr<ConsoleEventPacket_t> packet;
    EXPECT_FALSE(queue.Pop(packet));
}

TEST(EventQueueBound, WaitingConsumerGetsPacketsInOrderAndEndsOnStop) {
    EventQueue queue;
    std::vector<std::uint16_t> seen;
    std::thread consumer([&] {
        std::unique_ptr<ConsoleEventPacket_t> packet;
        while (queue.Pop(packet)) {
            seen.push_back(packet->TxEventPacketNum);
            if (seen.size() == 100) return;
        }
    });
    for (std::uint16_t i = 0; i < 100; ++i) queue.Push(Numbered(i));
    consumer.join();
    std::vector<std::uint16_t> expected(100);
    std::iota(expected.begin(), expected.end(), std::uint16_t{0});
    EXPECT_EQ(seen, expected);

    std::thread waiter([&] {
        std::unique_ptr<ConsoleEventPacket_t> packet;
        EXPECT_FALSE(queue.Pop(packet));
    });
    queue.Stop();
    waiter.join();
}

// The receiving thread may take the event step itself only when nothing is
// queued and no packet is in its step: packets keep their order.
TEST(EventQueueBound, StepIsTakenOnlyWhenIdle) {
    EventQueue queue;
    EXPECT_TRUE(queue.TakeStepIfIdle());
    EXPECT_FALSE(queue.TakeStepIfIdle()) << "a step is running";
    queue.StepDone();
    queue.Push(Numbered(1));
    EXPECT_FALSE(queue.TakeStepIfIdle()) << "a packet is queued";
    std::unique_ptr<ConsoleEventPacket_t> packet;
    ASSERT_TRUE(queue.Pop(packet));
    EXPECT_FALSE(queue.TakeStepIfIdle()) << "the popped packet is in its step";
    queue.StepDone();
    EXPECT_TRUE(queue.TakeStepIfIdle());
    queue.StepDone();
    queue.Stop();
    EXPECT_FALSE(queue.TakeStepIfIdle()) << "stopped";
}

// ---------------------------------------------------------------- pairing and repair

TEST(OversizeRepair, RebuiltFromThePreviousEvent) {
    LastEventHeader last;
    ConsoleEventPacket_t previous;
    previous.Version = 1;
    previous.Type = 9;
    previous.RxCmdPacketNum = 41;
    previous.SourceID = 4;
    previous.Length = 24;
    EXPECT_FALSE(RepairAndRemember(previous, last));
    EXPECT_EQ(previous.Length, 24);  // a legal packet stays as it is

    ConsoleEventPacket_t oversized;
    oversized.Version = 7;
    oversized.Type = 7;
    oversized.RxCmdPacketNum = 200;
    oversized.TxEventPacketNum = 999;
    oversized.SourceID = 7;
    oversized.Length = 0x300;
    oversized.Data.fill(0xCC);
    EXPECT_TRUE(RepairAndRemember(oversized, last));
    EXPECT_EQ(oversized.Length, 24);
    EXPECT_EQ(oversized.RxCmdPacketNum, 42);
    EXPECT_EQ(oversized.TxEventPacketNum, 42);
    EXPECT_EQ(oversized.Version, 1);
    EXPECT_EQ(oversized.Type, 9);
    EXPECT_EQ(oversized.SourceID, 4);
    for (std::uint8_t byte : oversized.Data) ASSERT_EQ(byte, 0);

    // The repaired packet is the previous one for the next repair.
    ConsoleEventPacket_t again;
    again.Length = 513;
    RepairAndRemember(again, last);
    EXPECT_EQ(again.RxCmdPacketNum, 43);
    EXPECT_EQ(again.Length, 24);
}

TEST(OversizeRepair, NumberWrapsAt255) {
    LastEventHeader last;
    last.RxCmdPacketNum = 255;
    ConsoleEventPacket_t oversized;
    oversized.Length = 0xFFFF;
    RepairAndRemember(oversized, last);
    EXPECT_EQ(oversized.RxCmdPacketNum, 0);
    EXPECT_EQ(oversized.Length, 0);
}

}  // namespace
