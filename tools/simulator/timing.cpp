// Per-record timestamps and turnarounds; see timing.h.
#include "tools/simulator/timing.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace tools::sim {

std::int64_t TimingLog::NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RecordTiming& TimingLog::At(std::size_t index, std::uint8_t command) {
    // Records arrive in order; a record seen twice (payload, then reply) is
    // the last one.
    if (records_.empty() || records_.back().index != index) {
        records_.push_back(RecordTiming{index, command, std::nullopt, std::nullopt});
    }
    return records_.back();
}

void TimingLog::PayloadFirstByte(std::size_t index, std::uint8_t command, std::int64_t ns) {
    At(index, command).payload_first_ns = ns;
}

void TimingLog::ReplyLastByte(std::size_t index, std::uint8_t command, std::int64_t ns) {
    At(index, command).reply_last_ns = ns;
}

void TimingLog::Write(std::ostream& out) const {
    out << "# record command payload_first_ns reply_last_ns\n";
    auto field = [](const std::optional<std::int64_t>& v) { return v ? std::to_string(*v) : std::string("-"); };
    for (const RecordTiming& r : records_) {
        char cmd[8];
        std::snprintf(cmd, sizeof cmd, "0x%02X", r.command);
        out << r.index << ' ' << cmd << ' ' << field(r.payload_first_ns) << ' ' << field(r.reply_last_ns) << '\n';
    }
}

void TimingLog::WriteFile(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    if (!out)
        throw std::runtime_error("writing " + path + ": " + std::strerror(errno));
    Write(out);
    out.flush();
    if (!out)
        throw std::runtime_error("writing " + path + ": " + std::strerror(errno));
}

namespace {

std::optional<std::int64_t> ParseNs(const std::string& text, std::size_t line_no) {
    if (text == "-")
        return std::nullopt;
    std::size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty()) {
        throw std::runtime_error("timing line " + std::to_string(line_no) + ": bad time '" + text + "'");
    }
    return v;
}

}  // namespace

std::vector<RecordTiming> ParseTiming(std::istream& in) {
    std::vector<RecordTiming> out;
    std::string line;
    std::size_t line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string index, command, first, last, more;
        if (!(fields >> index >> command >> first >> last) || (fields >> more)) {
            throw std::runtime_error("timing line " + std::to_string(line_no) + ": want 4 fields: '" + line + "'");
        }
        RecordTiming r;
        try {
            std::size_t used = 0;
            r.index = std::stoul(index, &used);
            if (used != index.size())
                throw std::invalid_argument(index);
            const unsigned long c = std::stoul(command, &used, 16);
            if (used != command.size() || c > 0xFF)
                throw std::invalid_argument(command);
            r.command = static_cast<std::uint8_t>(c);
        } catch (const std::exception&) {
            throw std::runtime_error("timing line " + std::to_string(line_no) + ": bad record or command: '" + line +
                                     "'");
        }
        r.payload_first_ns = ParseNs(first, line_no);
        r.reply_last_ns = ParseNs(last, line_no);
        out.push_back(r);
    }
    return out;
}

std::vector<RecordTiming> ReadTimingFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("reading " + path + ": " + std::strerror(errno));
    return ParseTiming(in);
}

std::vector<std::int64_t> Turnarounds(const std::vector<RecordTiming>& records) {
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        const RecordTiming& a = records[i];
        const RecordTiming& b = records[i + 1];
        if (b.index != a.index + 1 || !a.reply_last_ns || !b.payload_first_ns)
            continue;
        out.push_back(*b.payload_first_ns - *a.reply_last_ns);
    }
    return out;
}

}  // namespace tools::sim
