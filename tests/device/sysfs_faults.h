// Failed sysfs reads on demand, for the tests of incomplete scans: every
// read at or under a path fails with a chosen errno, through the sysfs
// reader's test hook. Running as root, no permission or descriptor limit
// set up in a temporary tree would make a read fail; this does, exactly
// where a test says.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing {

struct SysfsFault {
    std::string path;  // fails this path and every path under it
    int error;         // the errno the read fails with
};

// Installs the faults for its lifetime. With a trigger, the faults start
// only once the trigger path has been read (and that read succeeds): a
// device vanishing between two reads of one scan.
class ScopedSysfsFaults {
public:
    explicit ScopedSysfsFaults(std::vector<SysfsFault> faults, std::string trigger = "");
    ~ScopedSysfsFaults();
    ScopedSysfsFaults(const ScopedSysfsFaults&) = delete;
    ScopedSysfsFaults& operator=(const ScopedSysfsFaults&) = delete;

    // How many reads the faults failed so far.
    int Failed() const;
};

}  // namespace vantrel::testing
