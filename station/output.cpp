// The stdout thread.
#include "station/output.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace station {

struct Output::Shared {
    std::function<bool(const std::string&)> write;
    std::mutex mutex;
    std::condition_variable changed;
    // In order; a progress item's text may be replaced while it waits.
    struct Item {
        std::string key;  // progress: its port; empty for a line
        std::string text;
    };
    std::deque<Item> items;
    bool writing = false;
    bool closing = false;
    std::atomic<bool> gone{false};

    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return closing || !items.empty(); });
            if (items.empty())
                return;  // closing, all written
            std::string text = std::move(items.front().text);
            items.pop_front();
            writing = true;
            lock.unlock();
            const bool ok = gone.load() || write(text);
            lock.lock();
            writing = false;
            if (!ok) {
                gone.store(true);
                items.clear();
            }
            changed.notify_all();
        }
    }
};

Output::Output(std::function<bool(const std::string&)> write) : shared_(std::make_shared<Shared>()) {
    shared_->write = std::move(write);
    // The thread holds the shared state, so a thread stuck in a write to a
    // stalled reader may outlive this object.
    std::thread([shared = shared_] { shared->Run(); }).detach();
}

Output::~Output() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closing = true;
    shared_->changed.notify_all();
}

void Output::Line(std::string text) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->gone.load())
        return;
    shared_->items.push_back({{}, std::move(text)});
    shared_->changed.notify_all();
}

void Output::Progress(const std::string& key, std::string text) { Replaceable(key, std::move(text)); }

// A frame waits in order with the lines (a line written before it would be
// drawn over), and the newest one replaces one still waiting at the end.
void Output::Frame(std::string frame) { Replaceable(std::string(1, '\x01'), std::move(frame)); }

void Output::Replaceable(const std::string& key, std::string text) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->gone.load())
        return;
    // A progress line of the same port still waiting, with nothing that must
    // stay after it: the newer one takes its place.
    for (auto it = shared_->items.rbegin(); it != shared_->items.rend(); ++it) {
        if (it->key.empty())
            break;
        if (it->key == key) {
            it->text = std::move(text);
            return;
        }
    }
    shared_->items.push_back({key, std::move(text)});
    shared_->changed.notify_all();
}

bool Output::gone() const { return shared_->gone.load(); }

bool Output::Drain(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(
        lock, limit, [&] { return shared_->gone.load() || (shared_->items.empty() && !shared_->writing); });
}

}  // namespace station
