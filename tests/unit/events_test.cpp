// The event adapter and the capture fragment buffer: header checks, status
// texts, payloads, reassembly and the refusal of events whose lengths do not
// add up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "consoleevtadapter.h"
#include "consolelogger.h"
#include "fragmentbuffer.h"
#include "packets.h"
#include "structaccess.h"
#include "testsupport.h"

using PhyConsoleNs::FragmentBuffer;
using testsupport::ReadFile;

namespace {

constexpr std::uint8_t kGeneral = 0x10;
constexpr std::uint8_t kMacGeneral = 0x11;
constexpr std::uint8_t kCapture = 0x12;
constexpr std::uint8_t kRssi = 0x13;
constexpr std::uint8_t kMacOnly = 0x20;
constexpr std::uint8_t kStatusOk = 0;
constexpr std::uint8_t kStatusBadParam = 3;

const char* const kEventDefinitions = R"(
START_EVENTS_ENUM(PHY_CMD_TYPE)
ENUM_EVENTS_WITH_VALUE(PHYC_GENERAL_EVT, 0x10)
ENUM_EVENTS_WITH_VALUE(UMAC_GENERAL_EVT, 0x11)
ENUM_EVENTS_WITH_VALUE(PHYC_CAPTURE_DATA_EVT, 0x12)
ENUM_EVENTS_WITH_VALUE(PHYC_RSSI_EVT, 0x13)
END_EVENTS_ENUM
START_EVENTS_ENUM(MAC_CMD_TYPE)
ENUM_EVENTS_WITH_VALUE(MAC_ONLY_EVT, 0x20)
END_EVENTS_ENUM
START_GNRL_EVNTS_ENUM(PHY_CMD_TYPE)
ENUM_GNRL_EVNTS_WITH_VALUE(PHYC_STATUS_OK, 0)
ENUM_GNRL_EVNTS_WITH_VALUE(PHYC_STATUS_BAD_PARAM, 3)
END_GNRL_EVNTS_ENUM
)";

class EventEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        root_ = std::make_unique<testsupport::IsolatedRoot>();
        SetLogSeverityLevel(LOG_DETAIL);
        dir_.Write("events.h", kEventDefinitions);
        const std::string listFile = dir_.Write("structs.lst", "events.h\n");
        database = std::make_unique<StructAccess>(dir_.File("mac.map"), dir_.File("phy.map"), nullptr);
        ASSERT_TRUE(database->structAccessInit(listFile));
    }
    void TearDown() override {
        database.reset();
        ConsoleLogger::DestroyInstance();
        root_.reset();
    }

    static std::unique_ptr<StructAccess> database;

private:
    std::unique_ptr<testsupport::IsolatedRoot> root_;
    testsupport::TempDir dir_;
};
std::unique_ptr<StructAccess> EventEnvironment::database;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new EventEnvironment);

using testsupport::LogTail;

// The data of one event: a valid header for `type`, then the payload.
struct Event {
    explicit Event(std::uint8_t type, std::vector<std::uint8_t> payload = {})
        : bytes(kEventHeaderSize + payload.size(), 0) {
        PutBe16(&bytes[EventHeader::kCtrl], EventHeader::kValidCtrl);
        bytes[EventHeader::kSource] = 4;
        bytes[EventHeader::kType] = type;
        bytes[EventHeader::kEventLength] = static_cast<std::uint8_t>(payload.size() + 8);
        std::copy(payload.begin(), payload.end(), bytes.begin() + kEventHeaderSize);
    }
    Event& Set(std::size_t offset, std::uint8_t value) {
        bytes[offset] = value;
        return *this;
    }
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> Pattern(std::size_t count, std::size_t start = 0) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>((start + i) * 7 + 3);
    return bytes;
}

constexpr int kLaterFragment = -1;

// Capture fragment `number` carrying `captured` bytes; the first fragment
// (given its `total`) starts with the pInfo block announcing the total.
Event Fragment(std::uint8_t number, const std::vector<std::uint8_t>& captured, bool more,
               int total = kLaterFragment) {
    std::vector<std::uint8_t> payload;
    if (total != kLaterFragment) {
        payload.assign(8, 0);
        PutBe16(&payload[0], static_cast<std::uint16_t>(total));
        PutBe32(&payload[4], 0x00540000);
    }
    payload.insert(payload.end(), captured.begin(), captured.end());
    Event event(kCapture, payload);
    event.Set(EventHeader::kSource, 1).Set(EventHeader::kFragmentNum, number);
    if (more) event.Set(EventHeader::kFlags, EventHeader::kFragmentBit);
    return event;
}

// A capture of `total` bytes cut into fragments as the chip sends them: the
// event length byte bounds each fragment to 247 captured bytes (239 in the
// first, after pInfo).
std::vector<Event> CaptureFragments(std::uint16_t total) {
    const std::vector<std::uint8_t> data = Pattern(total);
    std::vector<Event> fragments;
    std::size_t sent = 0;
    for (unsigned number = 0; sent < total || number == 0; ++number) {
        const std::size_t room = number == 0 ? 239 : 247;
        const std::size_t count = std::min(room, total - sent);
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(sent);
        const std::vector<std::uint8_t> piece(from, from + static_cast<std::ptrdiff_t>(count));
        sent += count;
        fragments.push_back(Fragment(static_cast<std::uint8_t>(number), piece, sent < total,
                                     number == 0 ? total : kLaterFragment));
    }
    return fragments;
}

class EventAdapterTest : public ::testing::Test {
protected:
    bool Adapt(const Event& event) { return Adapt(event.bytes, event.bytes.size()); }
    bool Adapt(const std::vector<std::uint8_t>& bytes, std::size_t length) {
        subEvent = false;
        return adapter->AdaptEvent(bytes.data(), length, subEvent);
    }
    std::string ResultText() const {
        return std::string(reinterpret_cast<const char*>(adapter->GetResultBuffer()),
                           adapter->GetResultLength());
    }
    std::vector<std::uint8_t> Result() const {
        const std::uint8_t* bytes = adapter->GetResultBuffer();
        return std::vector<std::uint8_t>(bytes, bytes + adapter->GetResultLength());
    }

    std::unique_ptr<ConsoleEvtAdapter> adapter =
        std::make_unique<ConsoleEvtAdapter>(EventEnvironment::database.get());
    bool subEvent = false;
};

// ---------------------------------------------------------------- general events

struct StatusCase {
    std::uint8_t status;
    bool ok;
    const char* result;
};
std::ostream& operator<<(std::ostream& out, const StatusCase& c) {
    return out << "status " << static_cast<int>(c.status);
}

class GeneralEventTest : public EventAdapterTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(GeneralEventTest, StatusNameBecomesTheResult) {
    const StatusCase& c = GetParam();
    EXPECT_EQ(Adapt(Event(kGeneral).Set(EventHeader::kStatus, c.status)), c.ok);
    EXPECT_EQ(ResultText(), c.result);
    EXPECT_FALSE(subEvent);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, GeneralEventTest,
    ::testing::Values(StatusCase{kStatusOk, true, "PHYC_STATUS_OK "},
                      StatusCase{kStatusBadParam, false, "PHYC_STATUS_BAD_PARAM "},
                      StatusCase{9, false, "Unknown error code No event found by type 9"}));

TEST_F(EventAdapterTest, CaptureCommandKeepsWaitingAfterAnAcceptedStatus) {
    adapter->SetCaptureDataFlag(true);
    EXPECT_TRUE(Adapt(Event(kGeneral)));
    EXPECT_TRUE(subEvent);
}

TEST_F(EventAdapterTest, RefusedCaptureCommandEndsWithItsStatus) {
    adapter->SetCaptureDataFlag(true);
    EXPECT_FALSE(Adapt(Event(kGeneral).Set(EventHeader::kStatus, kStatusBadParam)));
    EXPECT_FALSE(subEvent);
    EXPECT_EQ(ResultText(), "PHYC_STATUS_BAD_PARAM ");
}

// ---------------------------------------------------------------- header checks

TEST_F(EventAdapterTest, UnknownEventTypeIsRefused) {
    LogTail log;
    // Only PHY event codes name events here.
    EXPECT_FALSE(Adapt(Event(kMacOnly)));
    EXPECT_TRUE(log.Has("No event found by type 32"));
}

TEST_F(EventAdapterTest, WrongCtrlIsRefusedWithHeaderDump) {
    LogTail log;
    EXPECT_FALSE(Adapt(Event(kGeneral).Set(EventHeader::kCtrl + 1, 12)));
    EXPECT_EQ(adapter->GetResultLength(), 0u);
    EXPECT_TRUE(log.Has("Invalid event ctrl - 12 Discarding Event. Dumping header data\n"));
    // The dump shows the ctrl word as converted to host order.
    const std::uint16_t ctrl = 12;
    std::uint8_t hostOrder[2];
    std::memcpy(hostOrder, &ctrl, sizeof ctrl);
    char first[8];
    std::snprintf(first, sizeof first, "%02x %02x ", hostOrder[0], hostOrder[1]);
    EXPECT_TRUE(log.Has(std::string(first) + "00 00 04 00 00 00 10 00 00 00 08 00 00 00 \n"));
}

TEST_F(EventAdapterTest, CtrlIsReadBigEndian) {
    // 0x0B00 little-endian would read as 11.
    EXPECT_FALSE(Adapt(Event(kGeneral).Set(0, 0x0B).Set(1, 0x00)));
}

struct SourceCase {
    std::uint8_t type;
    std::uint8_t source;
    bool accepted;
    const char* logText;
};
std::ostream& operator<<(std::ostream& out, const SourceCase& c) {
    return out << "type " << static_cast<int>(c.type) << " source " << static_cast<int>(c.source);
}

class EventSourceTest : public EventAdapterTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(EventSourceTest, SourceDependsOnTheEvent) {
    const SourceCase& c = GetParam();
    Event event = c.type == kCapture ? Fragment(0, Pattern(4), false, 4) : Event(c.type);
    event.Set(EventHeader::kSource, c.source);
    LogTail log;
    EXPECT_EQ(Adapt(event), c.accepted);
    EXPECT_TRUE(log.Has(c.logText)) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Sources, EventSourceTest,
    ::testing::Values(
        SourceCase{kGeneral, 4, true, ""}, SourceCase{kCapture, 4, true, ""},
        SourceCase{kCapture, 1, true, ""},
        SourceCase{kMacGeneral, 1, false,
                   "Invalid event source - 1 for PHY CAPTURE DATA EVT. Discarding Event. Dumping "
                   "header data \n"},
        SourceCase{kRssi, 7, false,
                   "Invalid event source - 7 Discarding Event. Dumping header data\n"}));

TEST_F(EventAdapterTest, SubEventFlagFollowsByte13EvenWhenTheHeaderFails) {
    EXPECT_TRUE(Adapt(Event(kMacGeneral).Set(EventHeader::kEventLength, 0).Set(EventHeader::kSubEvent, 1)));
    EXPECT_TRUE(subEvent);
    EXPECT_FALSE(Adapt(Event(kMacGeneral).Set(EventHeader::kSubEvent, 1).Set(EventHeader::kSource, 1)));
    EXPECT_TRUE(subEvent);
    EXPECT_TRUE(Adapt(Event(kRssi).Set(EventHeader::kSubEvent, 2)));
    EXPECT_FALSE(subEvent);
}

// ---------------------------------------------------------------- payloads

TEST_F(EventAdapterTest, MacGeneralEventLengthIsThePayloadLength) {
    Event event(kMacGeneral, Pattern(20));
    event.Set(EventHeader::kEventLength, 20);
    EXPECT_TRUE(Adapt(event));
    EXPECT_EQ(Result(), Pattern(20));
}

TEST_F(EventAdapterTest, OtherEventsCountTheHeaderInTheirLength) {
    EXPECT_TRUE(Adapt(Event(kRssi, Pattern(5))));
    EXPECT_EQ(Result(), Pattern(5));
}

struct LengthCase {
    const char* name;
    std::uint8_t type;
    std::uint8_t eventLength;
    std::size_t received;  // valid bytes handed over
};

class EventLengthTest : public EventAdapterTest, public ::testing::WithParamInterface<LengthCase> {};

// Each event is handed over in a buffer of exactly the received size, so a
// read past it is caught by the sanitizers as well as by the result.
TEST_P(EventLengthTest, LengthsThatDoNotAddUpAreRefused) {
    const LengthCase& c = GetParam();
    Event event(c.type, Pattern(40));
    event.Set(EventHeader::kEventLength, c.eventLength);
    event.bytes.resize(c.received);
    EXPECT_FALSE(Adapt(event.bytes, c.received)) << c.name;
    EXPECT_EQ(adapter->GetResultLength(), 0u) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, EventLengthTest,
    ::testing::Values(LengthCase{"MacPayloadPastReceived", kMacGeneral, 41, 56},
                      LengthCase{"OtherPayloadPastReceived", kRssi, 49, 56},
                      LengthCase{"OtherLengthBelow8", kRssi, 7, 56},
                      LengthCase{"FirstFragmentBelow16", kCapture, 15, 56},
                      LengthCase{"FragmentPastReceived", kCapture, 57, 56},
                      LengthCase{"DataShorterThanHeader", kGeneral, 8, 15},
                      LengthCase{"EmptyData", kGeneral, 8, 0}),
    [](const ::testing::TestParamInfo<LengthCase>& param) { return std::string(param.param.name); });

TEST_F(EventAdapterTest, PayloadEndingExactlyAtTheReceivedBytesIsAccepted) {
    Event event(kMacGeneral, Pattern(40));
    event.Set(EventHeader::kEventLength, 40);
    EXPECT_TRUE(Adapt(event.bytes, 56));
    EXPECT_EQ(Result(), Pattern(40));
}

// ---------------------------------------------------------------- capture

TEST_F(EventAdapterTest, CaptureOf300BytesInTwoFragments) {
    const std::vector<std::uint8_t> data = Pattern(300);
    const Event first = Fragment(0, {data.begin(), data.begin() + 200}, true, 300);
    const Event second = Fragment(1, {data.begin() + 200, data.end()}, false);
    ASSERT_EQ(first.bytes[EventHeader::kEventLength], 216);
    ASSERT_EQ(second.bytes[EventHeader::kEventLength], 108);

    adapter->SetCaptureDataFlag(true);
    ASSERT_TRUE(Adapt(Event(kGeneral)));
    ASSERT_TRUE(subEvent);
    ASSERT_TRUE(Adapt(first));
    EXPECT_TRUE(subEvent);
    EXPECT_EQ(adapter->GetResultLength(), 0u);
    LogTail log;
    ASSERT_TRUE(Adapt(second));
    EXPECT_FALSE(subEvent);
    EXPECT_EQ(Result(), data);
    EXPECT_TRUE(log.Has("Capture Event packet 1 arrived"));
    EXPECT_TRUE(log.Has("All captured data arrived OK."));
}

TEST_F(EventAdapterTest, OutOfOrderFragmentIsRefusedAndKeepsTheWaitOpen) {
    LogTail log;
    EXPECT_FALSE(Adapt(Fragment(1, Pattern(10), false)));
    EXPECT_TRUE(subEvent);
    EXPECT_TRUE(log.Has("No fragment buffer - ERROR."));
    EXPECT_TRUE(log.Has("Invalid fragment. expecting 0, arrived 1"));
}

TEST_F(EventAdapterTest, CaptureResetsAfterCompletion) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(Adapt(Fragment(0, Pattern(30), false, 30))) << "round " << round;
        EXPECT_FALSE(subEvent);
        EXPECT_EQ(Result(), Pattern(30));
    }
}

TEST_F(EventAdapterTest, GeneralEventOfACaptureCommandDropsAStaleCapture) {
    adapter->SetCaptureDataFlag(true);
    ASSERT_TRUE(Adapt(Fragment(0, Pattern(10), true, 20)));  // never finished
    ASSERT_TRUE(Adapt(Event(kGeneral)));
    ASSERT_TRUE(Adapt(Fragment(0, Pattern(20), false, 20)));
    EXPECT_EQ(Result(), Pattern(20));
}

TEST_F(EventAdapterTest, CaptureOf3000BytesInManyFragments) {
    const std::vector<Event> fragments = CaptureFragments(3000);
    ASSERT_EQ(fragments.size(), 13u);
    for (std::size_t i = 0; i + 1 < fragments.size(); ++i) {
        ASSERT_TRUE(Adapt(fragments[i])) << i;
        ASSERT_TRUE(subEvent);
    }
    ASSERT_TRUE(Adapt(fragments.back()));
    EXPECT_FALSE(subEvent);
    EXPECT_EQ(Result(), Pattern(3000));
}

// ---------------------------------------------------------------- fragment buffer

class FragmentBufferTest : public ::testing::Test {
protected:
    bool Add(const Event& event) { return buffer->AddFragment(event.bytes.data(), event.bytes.size(), error); }
    std::vector<std::uint8_t> Data() const {
        return std::vector<std::uint8_t>(buffer->GetData(), buffer->GetData() + buffer->GetLength());
    }

    std::unique_ptr<FragmentBuffer> buffer = std::make_unique<FragmentBuffer>();
    std::string error;
};

TEST_F(FragmentBufferTest, FirstFragmentCarriesTheCaptureInfo) {
    ASSERT_TRUE(Add(Fragment(0, Pattern(10), true, 25)));
    EXPECT_EQ(buffer->GetTotalLength(), 25);
    EXPECT_EQ(buffer->GetAddress(), 0x00540000u);
    EXPECT_EQ(buffer->GetLength(), 10);
    EXPECT_FALSE(buffer->IsComplete());
}

TEST_F(FragmentBufferTest, OutOfOrderFragmentResetsTheCapture) {
    ASSERT_TRUE(Add(Fragment(0, Pattern(10), true, 30)));
    EXPECT_FALSE(Add(Fragment(2, Pattern(10), true)));
    EXPECT_EQ(error, "Invalid fragment. expecting 1, arrived 2");
    EXPECT_EQ(buffer->GetLength(), 0);
    // Only a new fragment 0 can start over.
    EXPECT_FALSE(Add(Fragment(1, Pattern(10), true)));
    EXPECT_EQ(error, "Invalid fragment. expecting 0, arrived 1");
}

// The fragment number is one byte: after 256 fragments the expected number
// it compares, and names, is 0 again.
TEST_F(FragmentBufferTest, ExpectedNumberIsNamedAsTheByteItCompares) {
    ASSERT_TRUE(Add(Fragment(0, Pattern(1), true, 300)));
    for (int number = 1; number < 256; ++number) {
        ASSERT_TRUE(Add(Fragment(static_cast<std::uint8_t>(number), Pattern(1), true))) << number;
    }
    EXPECT_FALSE(Add(Fragment(1, Pattern(1), true)));
    EXPECT_EQ(error, "Invalid fragment. expecting 0, arrived 1");
}

TEST_F(FragmentBufferTest, LastFragmentStillFlaggedIsRefused) {
    ASSERT_TRUE(Add(Fragment(0, Pattern(10), true, 20)));
    LogTail log;
    EXPECT_FALSE(Add(Fragment(1, Pattern(10, 10), true)));
    EXPECT_EQ(error, "Last fragment arrived but fragment bit is on");
    EXPECT_TRUE(log.Has("Last fragment arrived but fragment bit is on"));
    EXPECT_FALSE(buffer->IsComplete());
    EXPECT_EQ(buffer->GetLength(), 0);
}

TEST_F(FragmentBufferTest, EmptyFirstFragmentStillStartsTheCapture) {
    ASSERT_TRUE(Add(Fragment(0, {}, true, 3)));
    ASSERT_TRUE(Add(Fragment(1, Pattern(3), false)));
    EXPECT_TRUE(buffer->IsComplete());
    EXPECT_EQ(Data(), Pattern(3));
}

TEST_F(FragmentBufferTest, FragmentBeyondTheAnnouncedTotalIsRefused) {
    ASSERT_TRUE(Add(Fragment(0, Pattern(10), true, 15)));
    EXPECT_FALSE(Add(Fragment(1, Pattern(6), false)));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(buffer->GetLength(), 0);
}

TEST_F(FragmentBufferTest, LaterFragmentLengthBelowItsHeaderIsRefused) {
    ASSERT_TRUE(Add(Fragment(0, Pattern(10), true, 30)));
    EXPECT_FALSE(Add(Fragment(1, Pattern(10), true).Set(EventHeader::kEventLength, 7)));
    EXPECT_EQ(buffer->GetLength(), 0);
}

// The largest capture needs more than 256 fragments, so the one-byte fragment
// number wraps; the buffer never runs past its 65536 bytes.
TEST_F(FragmentBufferTest, LargestCaptureWrapsTheFragmentNumber) {
    const std::vector<Event> fragments = CaptureFragments(65535);
    ASSERT_GT(fragments.size(), 256u);
    for (std::size_t i = 0; i < fragments.size(); ++i) ASSERT_TRUE(Add(fragments[i])) << i << " " << error;
    EXPECT_TRUE(buffer->IsComplete());
    EXPECT_EQ(Data(), Pattern(65535));
}

// ---------------------------------------------------------------- no database

TEST(EventAdapterWithoutDatabase, ReportsAndRefusesEvents) {
    const std::string crashText =
        "<ConsoleEvtAdapter>Failed to create Console Evt Adapter object,StructAccess =NULL ";
    const std::size_t before = ReadFile(CrashFilePath()).size();
    auto adapter = std::make_unique<ConsoleEvtAdapter>(nullptr);
    EXPECT_NE(ReadFile(CrashFilePath()).find(crashText, before), std::string::npos);

    const Event event(kGeneral);
    bool subEvent = true;
    EXPECT_FALSE(adapter->AdaptEvent(event.bytes.data(), event.bytes.size(), subEvent));
    EXPECT_FALSE(subEvent);
}

}  // namespace
