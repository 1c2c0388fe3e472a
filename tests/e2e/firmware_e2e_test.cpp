// Firmware loading end to end: the example package (built from
// examples/firmware) loaded into the emulated chip, the version report read
// from the loaded images by symbol, and the loads the chip spoils.
#include "e2e_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "firmwarebuilder.h"
#include "termbridge.h"
#include "termbridge_ext.h"
#include "testsupport.h"

namespace {

using e2e::Bytes;

const std::string kFirmware = TB_FIRMWARE_DIR;
const std::string kExamples = TB_EXAMPLES_DIR;
auto* const g_session = ::testing::AddGlobalTestEnvironment(new e2e::LibrarySession(
    kExamples + "/definitions/list.txt", kFirmware + "/mac.map", kFirmware + "/phy.map"));

const std::string kPackage = e2e::LibraryPath(kFirmware + "/example.fwp");

// What examples/firmware/mac.S and phy.S carry.
const std::string kExampleReport =
    "\n*********************************\nMac Version:\n*********************************\n"
    "Major Version:  3\nMinor Version:  1\nBranch Version: 2\nBuild Number:   1402\n"
    "System Repo Revision Number:        52113\nComponent Repo Revision Number:     8071\n"
    "Host-FW Interface Revision Number:  7\nPhy-Mac Interface Revision Number:  5\n"
    "Uart-Phy Interface Revision Number: 2\n"
    "\n*********************************\nPhy Version:\n*********************************\n"
    "Major Version:  3\nMinor Version:  1\nBranch Version: 2\nBuild Number:   977\n"
    "System Repo Revision Number:        52113\nComponent Repo Revision Number:     4410\n"
    "Phy-Mac Interface Revision Number:  5\nUart-Phy Interface Revision Number: 2\n";
// The PHY image's Phy-Mac interface revision word, by the example map file.
constexpr std::uint32_t kPhyInterfaceRevisionAddress = 0xBF54801C;

constexpr int kDefaultStartPauseMs = 2000;

double LoadSeconds(const std::string& package, int* rc) {
    const auto started = std::chrono::steady_clock::now();
    *rc = LoadFW(package.c_str());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

class Firmware : public e2e::EndToEnd {
protected:
    void SetUp() override {
        e2e::EndToEnd::SetUp();
        setInternalCommandTimeout(300);  // spoiled loads end sooner
    }
    void TearDown() override {
        setInternalCommandTimeout(1000);
        tbx_setFirmwareStartPause(kDefaultStartPauseMs);
    }
    // The emulated chip starts its firmware at once.
    static void StartAtOnce() { ASSERT_EQ(tbx_setFirmwareStartPause(10), 0); }
};

// The first load of this program, with the pause after the run left as it is.
TEST_F(Firmware, ExamplePackageRunsAndReportsItsVersions) {
    int rc = 1;
    const double seconds = LoadSeconds(kPackage, &rc);
    ASSERT_EQ(rc, 0) << getFailureMessage();
    EXPECT_GE(seconds, kDefaultStartPauseMs / 1000.0) << "the firmware was given less than its start pause";
    EXPECT_EQ(Emulator().Ask("firmware"), "ok running runs=1");
    // The interrupt-vector data went to the staging area, and the run moved it
    // into its window.
    const Bytes staged = Emulator().ReadMemory(0xBFC23804, 63);
    EXPECT_EQ(Emulator().ReadMemory(0xBFC23800, 4), (Bytes{0, 0, 0, 63}));
    EXPECT_NE(staged, Bytes(63, 0));
    EXPECT_EQ(Emulator().ReadMemory(0xBFC00280, 63), staged);

    EXPECT_EQ(std::string(getSystemVersionInfo()), kExampleReport);

    // A PHY whose interface revision is ahead of the MAC's: the report ends in the warning block.
    Emulator().WriteMemory(kPhyInterfaceRevisionAddress, Bytes{0, 0, 0, 6});
    const std::string mismatched = getSystemVersionInfo();
    const std::string phyLine = "Phy-Mac Interface Revision Number:  5\nUart-Phy Interface Revision Number: 2\n";
    EXPECT_EQ(mismatched, kExampleReport.substr(0, kExampleReport.rfind(phyLine)) +
                              "Phy-Mac Interface Revision Number:  6\nUart-Phy Interface Revision Number: 2\n"
                              "\n!!!!!!!!!!!!Incompatible Version!!!!!!!!!!!!!!!!!!!\n"
                              "!! PHY and Mac use different Phy-Mac IF Release  !!\n"
                              "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n");
}

// Two MAC sections reach into the interrupt-vector window: after the run
// the window holds the bytes of both.
TEST_F(Firmware, EveryVectorByteReachesTheWindow) {
    const Bytes first = fwbuild::Pattern(0x90, 3), second = fwbuild::Pattern(0x40, 9);
    const Bytes package = fwbuild::Package()
                              .Mac(fwbuild::Elf({{fwbuild::kProgramData, 0xBFC00200, first},
                                                 {fwbuild::kProgramData, 0xBFC00290, second}}))
                              .Phy(fwbuild::Elf({{fwbuild::kProgramData, 0xBF000000, fwbuild::Pattern(16)}}))
                              .Contents();
    const testsupport::TempDir dir;
    const std::string path = dir.Write("two.fwp", std::string(package.begin(), package.end()));
    StartAtOnce();
    ASSERT_EQ(LoadFW(path.c_str()), 0) << getFailureMessage();
    Bytes window(first.begin() + 0x80, first.end());
    window.insert(window.end(), second.begin(), second.begin() + 47);
    EXPECT_EQ(Emulator().ReadMemory(0xBFC00280, 63), window);
}

TEST_F(Firmware, SpoiledReadBackOrRefusedRunFailsTheLoad) {
    struct Case {
        const char* fault;
        std::string failure;
    };
    const Case cases[] = {
        {"corrupt-read 5", "<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!"},
        {"drop-read 70", "<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!"},
        {"refuse-run", "<ConsoleAppLogic>Error!!! Failed to run the Firmware after code was loaded!"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.fault);
        Emulator().Do("reset");
        Emulator().Do(test.fault);
        EXPECT_EQ(LoadFW(kPackage.c_str()), 1);
        EXPECT_EQ(std::string(getFailureMessage()), test.failure);
        EXPECT_EQ(Emulator().Ask("firmware").rfind("ok stopped", 0), 0u) << "the load set-up stopped the firmware";
    }
}

struct LoadReports {
    std::string stopStage;  // the stage whose report halfway through asks to stop
    std::vector<std::string> stages;
};

int TB_CALL StopHalfwayThroughStage(const char* stage, unsigned long long done, unsigned long long total,
                                    void* user) {
    auto* reports = static_cast<LoadReports*>(user);
    reports->stages.emplace_back(stage);
    return reports->stages.back() == reports->stopStage && done * 2 >= total ? 1 : 0;
}

// A stop asked while the package is read leaves the running firmware alone;
// one asked halfway through the MAC image ends the load at once, as a failed
// load leaves it.
TEST_F(Firmware, LoadStoppedHalfwayEndsAtOnceAsCancelled) {
    const struct {
        const char* stopStage;
        const char* firmwareAfter;
        const char* said;  // what the failure text says was done
    } cases[] = {{"build", "ok running", ": nothing was sent to the chip"},
                 {"load MAC", "ok stopped", ": the firmware was not started; what was written stays written"}};
    const Bytes marker = {0xA5, 0x5A, 0xA5, 0x5A};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.stopStage);
        StartAtOnce();
        ASSERT_EQ(LoadFW(kPackage.c_str()), 0) << getFailureMessage();
        Emulator().WriteMemory(0xBFC00000, marker);  // where the MAC image begins
        Emulator().WriteMemory(0xBF540000, marker);  // where the PHY image goes
        LoadReports reports{test.stopStage, {}};
        tbx_setStoppableProgressCallback(&StopHalfwayThroughStage, &reports);
        const int rc = LoadFW(kPackage.c_str());
        tbx_setStoppableProgressCallback(nullptr, nullptr);
        EXPECT_EQ(rc, 1);
        const std::string failure = getFailureMessage();
        EXPECT_EQ(failure.rfind(std::string("Cancelled: firmware load stopped by the host at ") + test.stopStage, 0), 0u)
            << failure;
        EXPECT_NE(failure.find(test.said), std::string::npos) << failure;
        // Nothing after the report that asked to stop.
        ASSERT_FALSE(reports.stages.empty());
        EXPECT_EQ(reports.stages.back(), test.stopStage);
        EXPECT_EQ(Emulator().Ask("firmware").rfind(test.firmwareAfter, 0), 0u) << Emulator().Ask("firmware");
        EXPECT_EQ(Emulator().ReadMemory(0xBF540000, 4), marker) << "the PHY image was written";
        if (std::string(test.stopStage) == "build") {
            EXPECT_EQ(Emulator().ReadMemory(0xBFC00000, 4), marker) << "the MAC image was written";
        }
    }
    // The old callback, which cannot stop, still serves; the next load runs.
    StartAtOnce();
    ASSERT_EQ(LoadFW(kPackage.c_str()), 0) << getFailureMessage();
}

// A load stopped from another thread while it waits for an answer that never
// comes (no internal time-out), or in the pause after the run command,
// returns at once, says how far the chip got, and sends nothing more.
TEST_F(Firmware, LoadStoppedWhileStuckSaysHowFarTheChipGot) {
    const auto runs = [this] {
        const std::string state = Emulator().Ask("firmware");
        return std::strtoul(state.c_str() + state.find("runs=") + 5, nullptr, 10);
    };
    const struct {
        const char* name;
        const char* fault;
        int startPauseMs;
        const char* said;
        const char* firmwareAfter;
    } cases[] = {
        {"lost read-back", "drop-read 3", 10, ": the firmware was not started; what was written stays written",
         "ok stopped"},
        {"start pause", "reset", 60000,
         " after the run command: the firmware was started, but the link keeps the load set-up", "ok running"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        setInternalCommandTimeout(0);
        ASSERT_EQ(tbx_setFirmwareStartPause(test.startPauseMs), 0);
        Emulator().Do("reset");
        Emulator().Do(test.fault);
        const unsigned long runsBefore = runs();
        // Stuck: no packet for a while (a lost answer, or the pause after the
        // run command, whose answer is then long taken).
        std::size_t lastCount = 0;
        auto lastChange = std::chrono::steady_clock::now();
        const auto stuck = [&] {
            const std::size_t count = Emulator().Count().packets;
            const auto now = std::chrono::steady_clock::now();
            if (count != lastCount) {
                lastCount = count;
                lastChange = now;
            }
            return now - lastChange > std::chrono::milliseconds(test.startPauseMs > 1000 ? 1000 : 300) &&
                   (test.startPauseMs <= 1000 || runs() > runsBefore);
        };
        const e2e::Stopped stopped = e2e::CancelOnceStuck([] { return LoadFW(kPackage.c_str()); }, stuck);
        setInternalCommandTimeout(300);
        EXPECT_EQ(stopped.rc, 1);
        EXPECT_EQ(stopped.failure.rfind("Cancelled: firmware load stopped by the host", 0), 0u) << stopped.failure;
        EXPECT_NE(stopped.failure.find(test.said), std::string::npos) << stopped.failure;
        EXPECT_EQ(stopped.packetsLater, stopped.packetsSoonAfter) << "sent after the call returned";
        EXPECT_EQ(Emulator().Ask("firmware").rfind(test.firmwareAfter, 0), 0u) << Emulator().Ask("firmware");
    }
    StartAtOnce();
    ASSERT_EQ(LoadFW(kPackage.c_str()), 0) << getFailureMessage();
}

// A verify reads what the package would load and writes nothing: the
// running firmware and the link's set-up stay; a byte the chip holds
// otherwise is named with its chunk; a package that does not build fails as
// a load does.
TEST_F(Firmware, VerifyComparesWithoutWritingAndNamesTheDifferingChunk) {
    StartAtOnce();
    ASSERT_EQ(LoadFW(kPackage.c_str()), 0) << getFailureMessage();
    const std::size_t systemBefore = Emulator().SystemCommands().size();
    ASSERT_EQ(tbx_verifyFW(kPackage.c_str()), 0) << getFailureMessage();
    const std::string summary = getResultBuffer();
    EXPECT_EQ(summary.rfind("the chip holds " + kPackage + ": ", 0), 0u) << summary;

    const Bytes original = Emulator().ReadMemory(0xBF540010, 1);  // in the PHY image
    Emulator().WriteMemory(0xBF540010, {static_cast<std::uint8_t>(original[0] ^ 0xFF)});
    EXPECT_EQ(tbx_verifyFW(kPackage.c_str()), 1);
    const std::string failure = getFailureMessage();
    EXPECT_EQ(failure.rfind("The chip's memory differs from " + kPackage + " in 1 of ", 0), 0u) << failure;
    char expected[160];
    std::snprintf(expected, sizeof expected, "\n  PHY chunk at 0xbf540000 (");
    EXPECT_NE(failure.find(expected), std::string::npos) << failure;
    std::snprintf(expected, sizeof expected, "byte 16 at 0xbf540010 reads 0x%02x, the package has 0x%02x (1 of ",
                  original[0] ^ 0xFF, original[0]);
    EXPECT_NE(failure.find(expected), std::string::npos) << failure;

    EXPECT_EQ(Emulator().SystemCommands().size(), systemBefore) << "the link's set-up was changed";
    EXPECT_EQ(Emulator().Ask("firmware").rfind("ok running", 0), 0u) << Emulator().Ask("firmware");
    EXPECT_EQ(Emulator().ReadMemory(0xBF540010, 1)[0], original[0] ^ 0xFF) << "the verify wrote";

    EXPECT_EQ(tbx_verifyFW(e2e::LibraryPath(kFirmware + "/no-such.fwp").c_str()), 1);
    EXPECT_EQ(std::string(getFailureMessage()),
              "<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!");
}

// A host may lengthen the pause (a firmware that starts slowly) or shorten
// it, within 0..60000 ms; a value outside is refused and changes nothing.
TEST_F(Firmware, HostSetsThePauseForTheFirmwareToStart) {
    constexpr int kLongPauseMs = 3500;
    ASSERT_EQ(tbx_setFirmwareStartPause(kLongPauseMs), 0);
    for (const int refused : {-1, 60001}) EXPECT_EQ(tbx_setFirmwareStartPause(refused), 1) << refused;
    int rc = 1;
    const double seconds = LoadSeconds(kPackage, &rc);
    ASSERT_EQ(rc, 0) << getFailureMessage();
    EXPECT_GE(seconds, kLongPauseMs / 1000.0);
    EXPECT_EQ(Emulator().Ask("firmware").rfind("ok running", 0), 0u);
    EXPECT_EQ(tbx_setFirmwareStartPause(0), 0);
    EXPECT_EQ(tbx_setFirmwareStartPause(60000), 0);
}

TEST_F(Firmware, ReportWithNoDispatcherAnswering) {
    Emulator().Do("drop-next 17");
    const std::string report = getSystemVersionInfo();
    std::size_t unread = 0;
    for (std::size_t at = report.find(" -842150451\n"); at != std::string::npos; at = report.find(" -842150451\n", at + 1)) {
        ++unread;
    }
    EXPECT_EQ(unread, 17u);
    EXPECT_EQ(report.find("Incompatible"), std::string::npos);
}

}  // namespace
