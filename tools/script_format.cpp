// Reading and writing upgrade script records for the test tools; see
// script_format.h. Bounds are checked before every access so that a damaged
// file is described, never overrun.
#include "tools/script_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "tools/system.h"

namespace tools {

const char* CommandName(std::uint8_t command) {
    switch (command) {
        case CMD_WAIT:
            return "CMD_WAIT";
        case CMD_DELAY:
            return "CMD_DELAY";
        case CMD_OPEN_PORT:
            return "CMD_OPEN_PORT";
        case CMD_CLOSE_PORT:
            return "CMD_CLOSE_PORT";
        case CMD_SEND_F1:
            return "CMD_SEND_F1";
        case CMD_SEND_F2:
            return "CMD_SEND_F2";
        default:
            return nullptr;
    }
}

std::string CommandLabel(std::uint8_t command) {
    if (const char* name = CommandName(command))
        return name;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", command);
    return hex;
}

bool IsKnownCommand(std::uint8_t command) { return CommandName(command) != nullptr; }

std::optional<unsigned> DelaySeconds(const Record& record) {
    if (record.command != CMD_DELAY || record.payload.size() < 2)
        return std::nullopt;
    return static_cast<unsigned>(record.payload[0]) * 256u + record.payload[1];
}

namespace {

std::string At(std::size_t offset, const std::string& what) { return "offset " + std::to_string(offset) + ": " + what; }

}  // namespace

ScriptReader::ScriptReader(std::span<const std::uint8_t> data) : data_(data) {
    if (data_.size() < kHeaderSize) {
        problem_ = Problem{Damage::ShortHeader, 0,
                           At(0, "file is " + std::to_string(data_.size()) + " bytes, shorter than the " +
                                     std::to_string(kHeaderSize) + "-byte header")};
    }
}

std::span<const std::uint8_t> ScriptReader::header() const { return data_.first(std::min(data_.size(), kHeaderSize)); }

std::optional<Record> ScriptReader::Next() {
    if (problem_ || pos_ >= data_.size())
        return std::nullopt;
    const std::size_t left = data_.size() - pos_;
    if (left < kRecordHeadSize) {
        problem_ = Problem{Damage::CutHead, pos_,
                           At(pos_, "record head cut short: " + std::to_string(left) + " byte(s) left, 3 needed")};
        return std::nullopt;
    }
    const std::uint8_t command = data_[pos_];
    const std::size_t length = static_cast<std::size_t>(data_[pos_ + 1]) * 256u + data_[pos_ + 2];
    if (left - kRecordHeadSize < length) {
        problem_ =
            Problem{Damage::PastEnd, pos_,
                    At(pos_, CommandLabel(command) + " record declares " + std::to_string(length) +
                                 " payload bytes but only " + std::to_string(left - kRecordHeadSize) + " remain")};
        return std::nullopt;
    }
    Record record;
    record.index = index_++;
    record.offset = pos_;
    record.command = command;
    record.payload = data_.subspan(pos_ + kRecordHeadSize, length);
    pos_ += kRecordHeadSize + length;
    return record;
}

Script ParseScript(std::span<const std::uint8_t> data) {
    Script script;
    ScriptReader reader(data);
    while (auto record = reader.Next()) {
        if (!IsKnownCommand(record->command)) {
            script.problems.push_back(
                Problem{Damage::UnknownCommand, record->offset,
                        At(record->offset, "unknown command byte " + CommandLabel(record->command))});
        } else if (record->command == CMD_DELAY && !DelaySeconds(*record)) {
            script.problems.push_back(
                Problem{Damage::ShortDelay, record->offset,
                        At(record->offset, "CMD_DELAY has " + std::to_string(record->payload.size()) +
                                               " payload byte(s), 2 needed for the delay")});
        }
        script.records.push_back(*record);
    }
    if (reader.problem())
        script.problems.push_back(*reader.problem());
    return script;
}

void AppendRecord(std::vector<std::uint8_t>& out, std::uint8_t command, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxPayload) {
        throw std::length_error("record payload of " + std::to_string(payload.size()) +
                                " bytes exceeds the 65535-byte length field");
    }
    out.push_back(command);
    out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    out.insert(out.end(), payload.begin(), payload.end());
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::runtime_error FileError(const std::string& what, const std::string& path, int err) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(err));
}

}  // namespace

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    File f(OpenFile(path, "rb"));
    if (!f)
        throw FileError("opening", path, errno);
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, f.get());
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk)
            break;
    }
    if (std::ferror(f.get()))
        throw FileError("reading", path, errno);
    return bytes;
}

void WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    // Write beside the target and rename, so a failed build never leaves a
    // half-written script under the final name.
    const std::string temp = path + ".part";
    {
        File f(OpenFile(temp, "wb"));
        if (!f)
            throw FileError("creating", temp, errno);
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) {
            const int err = errno;
            f.reset();
            RemoveFile(temp);
            throw FileError("writing", temp, err);
        }
        if (std::fflush(f.get()) != 0) {
            const int err = errno;
            f.reset();
            RemoveFile(temp);
            throw FileError("writing", temp, err);
        }
        if (std::fclose(f.release()) != 0) {
            const int err = errno;
            RemoveFile(temp);
            throw FileError("closing", temp, err);
        }
    }
    const std::string why = MoveFileOver(temp, path);
    if (!why.empty()) {
        RemoveFile(temp);
        throw std::runtime_error("renaming " + temp + " to " + path + ": " + why);
    }
}

}  // namespace tools
