// The fixture's sockets: which USB location is which slot. A file of
// "LOCATION LABEL" lines ("1-1.4.2 A1"), a '#' at the start of a word
// starting a comment. With a
// map, only mapped locations are served: a known terminal anywhere else is
// "not a slot" and never run, so a line never flashes the engineer's own
// unit on the next port. Not here: the scheduler's use of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace station {

class SlotMap {
public:
    // Reads the file; empty with *error naming the line and the cause
    // ("slots.txt line 4: the location 1-1.3 is mapped twice (line 2)").
    static std::optional<SlotMap> Load(const std::string& path, std::string* error);
    // The same from text already read; name is used in the messages.
    static std::optional<SlotMap> Parse(std::string_view text, const std::string& name, std::string* error);

    // The label of a location; empty when the location is no slot.
    std::string LabelOf(const std::string& location) const;
    // The slots in the file's order: (location, label).
    const std::vector<std::pair<std::string, std::string>>& slots() const { return slots_; }

private:
    std::vector<std::pair<std::string, std::string>> slots_;
};

}  // namespace station
