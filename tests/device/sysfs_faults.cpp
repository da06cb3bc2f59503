// The fault table behind ScopedSysfsFaults. The sysfs reader's hook is a
// plain function, so the table is process state, guarded for the monitor
// thread, which may scan while a test runs.
#include "tests/device/sysfs_faults.h"

#include <mutex>
#include <string_view>

#include "platform/posix/setupapi/sysfs_ports.h"

namespace vantrel::testing {
namespace {

std::mutex g_lock;
std::vector<SysfsFault> g_faults;
std::string g_trigger;
bool g_armed = false;
int g_failed = 0;

bool Under(std::string_view path, const std::string& top) {
    return path.substr(0, top.size()) == top && (path.size() == top.size() || path[top.size()] == '/');
}

int FaultFor(const char* path) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_armed) {
        g_armed = path == g_trigger;
        return 0;
    }
    for (const SysfsFault& fault : g_faults) {
        if (Under(path, fault.path)) {
            ++g_failed;
            return fault.error;
        }
    }
    return 0;
}

}  // namespace

ScopedSysfsFaults::ScopedSysfsFaults(std::vector<SysfsFault> faults, std::string trigger) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_faults = std::move(faults);
        g_armed = trigger.empty();
        g_trigger = std::move(trigger);
        g_failed = 0;
    }
    posix::SetSysfsFaultHookForTest(FaultFor);
}

ScopedSysfsFaults::~ScopedSysfsFaults() {
    posix::SetSysfsFaultHookForTest(nullptr);
    std::lock_guard<std::mutex> lock(g_lock);
    g_faults.clear();
    g_trigger.clear();
}

int ScopedSysfsFaults::Failed() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_failed;
}

}  // namespace vantrel::testing
