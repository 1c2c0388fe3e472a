// Every file the library reads or writes, run on one path at a time, and a
// runner that checks how each operation ends: its result, its text, within a
// deadline (a pipe must never block it), and with no other file touched.
// The path tables live in files_test.cpp (every system) and
// posix/files_posix_test.cpp (links, pipes, devices).
#ifndef TERMBRIDGE_FILEOPERATIONS_H
#define TERMBRIDGE_FILEOPERATIONS_H

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cfwloader.h"
#include "eeprominterface.h"
#include "firmwarebuilder.h"
#include "platform/platform.h"
#include "structaccess.h"
#include "testsupport.h"
#include "trafficmanager.h"
#include "trafficowner.h"

namespace fileops {

namespace fs = std::filesystem;

// A path to try, made in the work folder by `make`, which returns it. The
// valid content is what the operation under test needs from a readable file.
struct PathCase {
    const char* name;
    std::function<std::string(const fs::path& work, const std::string& validContent)> make;
    bool reads;   // readers succeed
    bool writes;  // writers succeed
    // A writer that succeeds changes this file (default: the path itself).
    std::function<std::string(const fs::path& work)> changed = nullptr;
    // Lets a blocked operation go on (opens a pipe's other end); tried only
    // after the deadline passed.
    std::function<void(const std::string& path)> release = nullptr;
    // Checks after each operation that what the path names outside the work
    // folder was left alone (a pipe's server still waits for a client).
    std::function<void(const std::string& path)> checkAfter = nullptr;
};

// What the folder holds: names (relative), kinds and contents.
using Snapshot = std::map<std::string, std::string>;

inline Snapshot Take(const fs::path& folder) {
    Snapshot snapshot;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().lexically_relative(folder).string();
        const fs::file_status status = it->symlink_status(error);
        if (fs::is_symlink(status)) {
            snapshot[name] = "link " + fs::read_symlink(it->path(), error).string();
        } else if (fs::is_regular_file(status)) {
            snapshot[name] = "file " + testsupport::ReadFile(it->path().string());
        } else {
            snapshot[name] = fs::is_directory(status) ? "folder" : "other";
        }
    }
    return snapshot;
}

// Read-only files and folders go with their folder only once writable.
inline void MakeRemovable(const fs::path& folder) {
    std::error_code error;
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, error);
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
}

// The library's objects behind the operations: an EEPROM layout, a traffic
// manager for the firmware loader (no dispatcher: building never sends).
class Library {
public:
    Library() : traffic_(&owner_, 1, "127.0.0.1", testsupport::FreeLoopbackTcpPort()) {
        layout_.Write("eeprom.h", "EEPROM_CER_SECTION(sec, 01, 8)\nEEPROM_FIELD_DOUBLE(gain, 2, 4.8, 0, 0, 1.0)\n"
                                  "EEPROM_END_SECTION\n");
        StructAccess db("", "", &eeprom_);
        db.structAccessInit(layout_.Write("list.txt", "eeprom.h\n"));
        eeprom_.InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, "");
    }

    struct Operation {
        const char* name;
        bool writes;
        std::string validContent;
        std::function<bool(const std::string& path)> run;
        std::function<std::string(const std::string& path)> failureText;  // empty: none checked
        bool emptyPathWritesNoFile = false;  // the listing: an empty path asks for the text only
    };

    std::vector<Operation> Operations() {
        const fwbuild::Bytes package = fwbuild::Package().Contents();
        return {
            {"EEPROM image load", false, "\x01\x02",
             [this](const std::string& p) { return eeprom_.InitEepromInterface(1, p) == 0; }, CouldNotOpenEeprom},
            {"EEPROM value file load", false, "gain = 1.5\n",
             [this](const std::string& p) { return eeprom_.InitEepromInterface(3, p) == 0; }, CouldNotOpenEeprom},
            {"firmware package", false, std::string(package.begin(), package.end()),
             [this](const std::string& p) { return CFWLoader(p, &traffic_).BuildChunkDataBase(); },
             [](const std::string&) {
                 return std::string("<FWLoader>Error!!! Couldn't open Firmware file for loading firmware software!!!!");
             }},
            {"definition list", false, "",
             [](const std::string& p) {
                 EepromInterface eeprom(nullptr);
                 return StructAccess("", "", &eeprom).structAccessInit(p);
             },
             [](const std::string& p) {
                 return p.empty() ? std::string() : "The file: " + p + " can't be open for reading.";
             }},
            {"definition file", false, "EEPROM_CER_SECTION(s, 02, 4)\nEEPROM_FIELD_CHAR(serial, 2, 0x01, 0x02)\n",
             [](const std::string& p) { return ParseOneDefinitionFile(p); },
             [](const std::string&) { return std::string("\" is invalid OR EMPTY."); }},
            {"map file", false, "majorVersion 0xBFC12000 0x4 .rodata\n",
             [](const std::string& p) {
                 EepromInterface eeprom(nullptr);
                 return StructAccess(p, "", &eeprom).getSymbolAddress("majorVersion", "MAC_FILE_TYPE", true) ==
                        0xBFC12000;
             },
             [](const std::string& p) { return "<StructAccess>ERROR: the map file \"" + p + "\" does not exist"; }},
            {"EEPROM image dump", true, "",
             [this](const std::string& p) { return eeprom_.CreateBinaryFile(p) == 0; }, CouldNotOpenEeprom},
            {"EEPROM listing", true, "",
             [](const std::string& p) {
                 EepromInterface noFields(nullptr);  // a listing read from no chip: one NUL
                 std::string listing;
                 return noFields.WriteListing(listing, p) == 0;
             },
             [](const std::string&) { return std::string("<EepromInterface>Error! Failed to open file."); }, true},
        };
    }

private:
    static std::string CouldNotOpenEeprom(const std::string& path) {
        return "<EepromInterface>Couldn't Open Eeprom File: " + path;
    }
    // A list in a folder of its own names the file by a relative path; the
    // file counts as read when its field made it into the table.
    static bool ParseOneDefinitionFile(const std::string& path) {
        testsupport::TempDir scratch;
        // Worked out on the text, as the library joins it: a path's bytes
        // stay as they are (no conversion of names through another encoding).
        const std::string& folder = scratch.Path();
        const std::string parent = folder.substr(0, folder.find_last_of("/\\") + 1);
        const std::string entry = path.compare(0, parent.size(), parent) == 0
                                      ? ".." + std::string(1, platform::PathSeparator()) + path.substr(parent.size())
                                      : path;
        EepromInterface eeprom(nullptr);
        StructAccess("", "", &eeprom).structAccessInit(scratch.Write("list.txt", entry + "\n"));
        return eeprom.FindField("serial") != nullptr;
    }

    testsupport::TempDir layout_;
    EepromInterface eeprom_{nullptr};
    NoExternalOwner owner_;
    TrafficManager traffic_;
};

// Runs every operation on every path case, each in a fresh work folder.
inline void RunTable(const std::vector<PathCase>& cases) {
    constexpr auto kDeadline = std::chrono::seconds(5);
    Library library;
    for (const Library::Operation& operation : library.Operations()) {
        for (const PathCase& c : cases) {
            SCOPED_TRACE(std::string(operation.name) + " on " + c.name);
            testsupport::TempDir folder;
            const fs::path work(folder.Path());
            const std::string path = c.make(work, operation.validContent);
            const bool noFile = path.empty() && operation.emptyPathWritesNoFile;
            const bool expected = noFile || (operation.writes ? c.writes : c.reads);
            std::string changed = c.changed ? c.changed(work) : path;
            const Snapshot before = Take(work);
            // In the work folder: what an empty or relative path would touch
            // is then inside what is watched.
            const fs::path previousFolder = fs::current_path();
            fs::current_path(work);
            const testsupport::LogTail log;
            std::future<bool> done = std::async(std::launch::async, operation.run, path);
            if (done.wait_for(kDeadline) != std::future_status::ready) {
                ADD_FAILURE() << "did not end within 5 s";
                if (c.release) c.release(path);
            }
            EXPECT_EQ(expected, done.get());
            if (c.checkAfter) c.checkAfter(path);
            fs::current_path(previousFolder);
            if (!expected && operation.failureText && !operation.failureText(path).empty()) {
                EXPECT_TRUE(log.Has(operation.failureText(path))) << operation.failureText(path);
            }
            Snapshot after = Take(work);
            if (expected && operation.writes && !noFile) {
                const std::string key = fs::path(changed).lexically_relative(work).string();
                EXPECT_EQ(1u, after.count(key)) << "the written file " << key;
                after.erase(key);
                Snapshot rest = before;
                rest.erase(key);
                EXPECT_EQ(rest, after) << "a write touches its file only";
            } else {
                EXPECT_EQ(before, after) << "nothing touched";
            }
            MakeRemovable(work);
        }
    }
}

}  // namespace fileops

#endif
