// The station's private copy of the upgrade script.
#include "station/script.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <map>

#include "engine/run.h"
#include "station/host.h"
#include "station/sha256.h"
#include "tools/script_format.h"

namespace station {

unsigned RecordWaitSeconds(std::uint8_t command, std::span<const std::uint8_t> payload) {
    switch (command) {
        case tools::CMD_WAIT:
            return kTerminalWaitSeconds;
        case tools::CMD_DELAY:
            return payload.size() >= 2 ? payload[0] * 256u + payload[1] : 0;
        case tools::CMD_SEND_F1:
        case tools::CMD_SEND_F2:
            return kReplyWaitSeconds;
        case tools::CMD_OPEN_PORT:
        case tools::CMD_CLOSE_PORT:
            return kPortPauseSeconds;
        default:
            return 0;
    }
}

std::unique_ptr<PrivateScript> PrivateScript::Prepare(const std::string& source, std::string* error) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = tools::ReadFileBytes(source);
    } catch (const std::exception& e) {
        *error = e.what();
        return nullptr;
    }
    return FromBytes(source, std::move(bytes), error);
}

std::unique_ptr<PrivateScript> PrivateScript::FromBytes(const std::string& name, std::vector<std::uint8_t> bytes,
                                                        std::string* error) {
    if (bytes.empty()) {
        *error = name + ": the file is empty";
        return nullptr;
    }
    const tools::Script parsed = tools::ParseScript(bytes);
    if (!parsed.sound()) {
        *error = name + ": " + parsed.problems.front().message;
        return nullptr;
    }
    std::unique_ptr<PrivateScript> script(new PrivateScript());
    script->size_ = bytes.size();
    try {
        script->sha256_ = Sha256Hex(bytes);
    } catch (const std::exception& e) {
        *error = name + ": " + e.what();
        return nullptr;
    }

    // The child prints a progress line whenever the whole percent of the
    // position changes; the records sharing one percent run silently.
    const std::int64_t total = static_cast<std::int64_t>(bytes.size() - tools::kHeaderSize);
    std::map<std::int64_t, unsigned> quietByPercent;
    std::uint64_t payload = 0;
    for (const tools::Record& r : parsed.records) {
        const std::int64_t end = static_cast<std::int64_t>(r.offset + r.size() - tools::kHeaderSize);
        const std::int64_t percent = total > 0 ? end * 100 / total : 100;
        quietByPercent[percent] += RecordWaitSeconds(r.command, r.payload);
        if (r.command == tools::CMD_SEND_F1 || r.command == tools::CMD_SEND_F2) {
            payload += r.payload.size();
            script->sends_.push_back({end, payload});
        }
    }
    unsigned quiet = 0;
    for (const auto& [percent, seconds] : quietByPercent)
        quiet = std::max(quiet, seconds);
    script->longestQuiet_ = std::chrono::seconds(quiet);

    script->folder_ = MakePrivateFolder(error);
    if (script->folder_.empty())
        return nullptr;
    try {
        tools::WriteFileBytes(script->folder_ + "/upgrader.asc", bytes);
    } catch (const std::exception& e) {
        *error = e.what();
        return nullptr;  // the destructor removes the folder
    }
    script->bytes_ = std::move(bytes);
    return script;
}

std::string PrivateScript::MakeRunFolder(unsigned run, std::string* error) const {
    const std::string folder = folder_ + "/run-" + std::to_string(run);
    try {
        std::filesystem::create_directory(folder);
        tools::WriteFileBytes(folder + "/upgrader.asc", bytes_);
    } catch (const std::exception& e) {
        *error = "preparing " + folder + ": " + e.what();
        RemoveRunFolder(folder);
        return {};
    }
    return folder;
}

void PrivateScript::RemoveRunFolder(const std::string& folder) const {
    std::error_code ignored;  // what cannot be removed goes with the private folder
    std::filesystem::remove_all(folder, ignored);
}

PrivateScript::~PrivateScript() {
    if (!folder_.empty())
        RemoveFolder(folder_);
}

std::uint64_t PrivateScript::PayloadAt(std::int64_t pos) const {
    // The last send whose record is wholly consumed at pos.
    const auto after = std::upper_bound(sends_.begin(), sends_.end(), pos,
                                        [](std::int64_t p, const SendMark& m) { return p < m.end; });
    return after == sends_.begin() ? 0 : std::prev(after)->payload;
}

}  // namespace station
