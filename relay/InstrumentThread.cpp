#include "relay/InstrumentThread.h"

namespace relay {

bool InstrumentThread::Post(const std::string& command, std::uint64_t sequence,
                            const Runner& run) {
    std::lock_guard<std::mutex> lock(mutex);
    runner = run;
    // A thread left to finish its command after a stop takes the new work
    // instead of leaving.
    stopping = false;
    abandoned = false;
    if (!alive) {
        thread = platform::StartModuleThread(&InstrumentThread::Main, this);
        if (thread == nullptr) return false;
        alive = true;
    }
    queue.push_back({command, sequence});
    wake.notify_all();
    return true;
}

bool InstrumentThread::Busy() {
    std::lock_guard<std::mutex> lock(mutex);
    return running || !queue.empty();
}

bool InstrumentThread::Stop(std::uint32_t waitMs, std::vector<std::string>* dropped,
                            const boost::function<void()>& after) {
    platform::ModuleThread* ending = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Item& item : queue) dropped->push_back(item.command);
        queue.clear();
        stopping = true;
        ending = thread;
        thread = nullptr;
        wake.notify_all();
    }
    if (ending == nullptr) return true;
    if (platform::JoinModuleThread(ending, waitMs)) return true;
    std::lock_guard<std::mutex> lock(mutex);
    if (!alive) return true;  // it ended right after the wait
    abandoned = true;
    afterAbandon = after;
    return false;
}

void InstrumentThread::Main(void* self) {
    static_cast<InstrumentThread*>(self)->Loop();
}

void InstrumentThread::Loop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty()) break;
        const Item item = queue.front();
        queue.pop_front();
        running = true;
        const Runner run = runner;
        lock.unlock();
        try {
            run(item.command, item.sequence);
        } catch (...) {
            // The runner answers every command itself; nothing may end this thread.
        }
        lock.lock();
        running = false;
    }
    // Still under the lock, so that no new thread starts a command while the
    // driver is being released underneath it.
    if (abandoned) {
        abandoned = false;
        try {
            if (afterAbandon) afterAbandon();
        } catch (...) {
        }
    }
    alive = false;
}

}  // namespace relay
