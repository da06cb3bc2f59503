// The journal of runs in flight.
#include "station/journal.h"

#include <charconv>
#include <map>
#include <sstream>

namespace station {
namespace {

std::string Hex(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    if (text.empty())
        return "-";
    std::string out;
    for (unsigned char c : text) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

bool Unhex(const std::string& hex, std::string* out) {
    out->clear();
    if (hex == "-")
        return true;
    if (hex.size() % 2 != 0)
        return false;
    for (std::size_t k = 0; k < hex.size(); k += 2) {
        unsigned value = 0;
        const auto r = std::from_chars(hex.data() + k, hex.data() + k + 2, value, 16);
        if (r.ec != std::errc() || r.ptr != hex.data() + k + 2)
            return false;
        out->push_back(static_cast<char>(value));
    }
    return true;
}

template <typename T>
bool Number(const std::string& text, T* out) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), *out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

}  // namespace

std::unique_ptr<Journal> Journal::Open(const std::string& path, std::string* error) {
    auto file = AppendFile::Open(path, "journal", error);
    if (!file)
        return nullptr;
    if (!file->Lock()) {
        *error = "the journal " + path + " is held by another station: is one already running with this log?";
        return nullptr;
    }
    return std::unique_ptr<Journal>(new Journal(std::move(file)));
}

bool Journal::ReadOrphans(std::vector<RunRecord>* orphans, std::string* error) {
    std::string text;
    if (!file_->ReadTail(SIZE_MAX, &text, error))
        return false;
    std::map<std::uint64_t, RunRecord> open;
    std::vector<std::uint64_t> order;
    std::size_t at = 0;
    for (std::size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::istringstream line(text.substr(at, nl - at));
        std::string kind, id;
        line >> kind >> id;
        std::uint64_t n = 0;
        if (!Number(id, &n))
            continue;
        if (kind == "end") {
            open.erase(n);
            continue;
        }
        if (kind != "begin")
            continue;
        std::string ms, port, location, slot, hwid, serial, attempt, size, sha, baud;
        line >> ms >> port >> location >> slot >> hwid >> serial >> attempt >> size >> sha >> baud;
        RunRecord r;
        long long msSinceEpoch = 0;
        if (!Number(ms, &msSinceEpoch) || !Number(attempt, &r.attempt) || !Unhex(port, &r.port) ||
            !Unhex(location, &r.location) || !Unhex(slot, &r.slot) || !Unhex(hwid, &r.hardwareId) ||
            !Unhex(serial, &r.serial) || !Number(size, &r.scriptSize) || !Unhex(sha, &r.scriptSha256) ||
            !Unhex(baud, &r.baud))
            continue;
        r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(msSinceEpoch));
        if (open.emplace(n, std::move(r)).second)
            order.push_back(n);
    }
    // What follows the last newline is a begin cut short: that run never started.
    orphans->clear();
    for (std::uint64_t n : order) {
        if (auto it = open.find(n); it != open.end())
            orphans->push_back(it->second);
    }
    return true;
}

bool Journal::Begin(std::uint64_t id, const RunRecord& r, std::string* error) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.start.time_since_epoch()).count();
    std::string line = "begin " + std::to_string(id) + " " + std::to_string(ms) + " " + Hex(r.port) + " " +
                       Hex(r.location) + " " + Hex(r.slot) + " " + Hex(r.hardwareId) + " " + Hex(r.serial) + " " +
                       std::to_string(r.attempt) + " " + std::to_string(r.scriptSize) + " " + Hex(r.scriptSha256) +
                       " " + Hex(r.baud) + "\n";
    if (!file_->EndsWithNewline())
        line = "\n" + line;
    if (!file_->Write(line, error))
        return false;
    ++inFlight_;
    return true;
}

bool Journal::End(std::uint64_t id, std::string* error) {
    if (inFlight_ > 0)
        --inFlight_;
    if (inFlight_ == 0)
        return Clear(error);
    return file_->Write("end " + std::to_string(id) + "\n", error);
}

bool Journal::Clear(std::string* error) {
    inFlight_ = 0;
    return file_->Truncate(error);
}

RunRecord InterruptedRecord(const RunRecord& orphan, std::chrono::system_clock::time_point found) {
    RunRecord r = orphan;
    r.end = found;
    r.result = "interrupted";
    r.exitCode = -1;
    r.success = false;
    r.cause = "the station ended while this run was in flight";
    return r;
}

}  // namespace station
