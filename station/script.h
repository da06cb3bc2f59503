// The upgrade script as the station holds it: read once at start, checked
// with the script tools' reading of the format (a damaged script is
// refused before any run), its SHA-256 taken, and written into a private
// folder that every run is started in, so every run plays the same bytes
// while the original is rewritten. From the records it also knows the
// longest time a run can go without an event, and how many payload bytes a
// progress position stands for. Not here: running it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace station {

class PrivateScript {
public:
    // Reads, checks and copies source; empty with *error set ("upgrader.asc:
    // offset 35: unknown command 0x05").
    static std::unique_ptr<PrivateScript> Prepare(const std::string& source, std::string* error);
    // Takes bytes already read (the tests' way in); the folder is made here.
    static std::unique_ptr<PrivateScript> FromBytes(const std::string& name, std::vector<std::uint8_t> bytes,
                                                    std::string* error);
    ~PrivateScript();
    PrivateScript(const PrivateScript&) = delete;
    PrivateScript& operator=(const PrivateScript&) = delete;

    const std::string& folder() const { return folder_; }
    // A folder of its own for one run, holding upgrader.asc: vantrel-cli
    // opens the script for exclusive use, so runs sharing one file would
    // refuse each other ("no-script"). Empty with *error set.
    std::string MakeRunFolder(unsigned run, std::string* error) const;
    void RemoveRunFolder(const std::string& folder) const;
    std::uint64_t size() const { return size_; }
    const std::string& sha256() const { return sha256_; }
    // The longest stretch a healthy run can spend without printing a line:
    // the waits of the records between two progress steps, added up.
    std::chrono::seconds longestQuiet() const { return longestQuiet_; }
    // The send payload of the records consumed when the run's progress
    // position (record bytes past the header) is pos.
    std::uint64_t PayloadAt(std::int64_t pos) const;
    std::uint64_t payloadTotal() const { return sends_.empty() ? 0 : sends_.back().payload; }

private:
    PrivateScript() = default;

    struct SendMark {
        std::int64_t end;       // progress position once the record is consumed
        std::uint64_t payload;  // send payload up to and including it
    };
    std::string folder_;
    std::vector<std::uint8_t> bytes_;
    std::uint64_t size_ = 0;
    std::string sha256_;
    std::chrono::seconds longestQuiet_{0};
    std::vector<SendMark> sends_;
};

// The seconds a record can keep a run waiting, as the engine arms its
// timer (engine/run.h): the wait for the terminal's first reply, a delay's
// own length, the wait for a send's reply, the pause after opening or
// closing the port.
unsigned RecordWaitSeconds(std::uint8_t command, std::span<const std::uint8_t> payload);

}  // namespace station
