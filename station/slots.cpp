// The slot map's reading.
#include "station/slots.h"

#include <fstream>
#include <sstream>

namespace station {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool HasControl(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

}  // namespace

std::optional<SlotMap> SlotMap::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = path + ": reading failed";
        return std::nullopt;
    }
    return Parse(text.str(), path, error);
}

std::optional<SlotMap> SlotMap::Parse(std::string_view text, const std::string& name, std::string* error) {
    SlotMap map;
    std::vector<unsigned> lineOf;  // the line each slot came from, for the messages
    unsigned number = 0;
    while (!text.empty()) {
        ++number;
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        // A comment starts at a '#' that begins a word: Windows' locations hold
        // '#' themselves ("Port_#0003.Hub_#0002").
        for (std::size_t at = 0; at < line.size(); ++at) {
            if (line[at] == '#' && (at == 0 || IsSpace(line[at - 1]))) {
                line = line.substr(0, at);
                break;
            }
        }
        line = Trim(line);
        if (line.empty())
            continue;
        const auto where = [&] { return name + " line " + std::to_string(number) + ": "; };
        if (HasControl(line)) {
            *error = where() + "a control character";
            return std::nullopt;
        }
        std::size_t gap = 0;
        while (gap < line.size() && !IsSpace(line[gap]))
            ++gap;
        const std::string location(line.substr(0, gap));
        const std::string label(Trim(line.substr(gap)));
        if (label.empty()) {
            *error = where() + "the location " + location + " has an empty label";
            return std::nullopt;
        }
        for (std::size_t k = 0; k < map.slots_.size(); ++k) {
            if (map.slots_[k].first == location) {
                *error =
                    where() + "the location " + location + " is mapped twice (line " + std::to_string(lineOf[k]) + ")";
                return std::nullopt;
            }
            if (map.slots_[k].second == label) {
                *error = where() + "the label " + label + " is given twice (line " + std::to_string(lineOf[k]) + ")";
                return std::nullopt;
            }
        }
        map.slots_.emplace_back(location, label);
        lineOf.push_back(number);
    }
    if (map.slots_.empty()) {
        *error = name + ": no slot in it";
        return std::nullopt;
    }
    return map;
}

std::string SlotMap::LabelOf(const std::string& location) const {
    if (location.empty())
        return {};
    for (const auto& [where, label] : slots_) {
        if (where == location)
            return label;
    }
    return {};
}

}  // namespace station
