#include "relay/InstrumentThread.h"

#include "platform/Thread.h"

namespace relay {

namespace {
void* StartThread(void (*body)(void*), void* argument) {
    return platform::StartModuleThread(body, argument);
}
bool WaitThread(void* thread, std::uint32_t timeoutMs) {
    return platform::WaitModuleThread(static_cast<platform::ModuleThread*>(thread), timeoutMs);
}
void ReleaseThread(void* thread) {
    platform::ReleaseModuleThread(static_cast<platform::ModuleThread*>(thread));
}
}  // namespace

const ThreadOps kModuleThreads = {&StartThread, &WaitThread, &ReleaseThread};

InstrumentThread::InstrumentThread(Runner run, Ready take, Superseded drop, Handed after, const ThreadOps& ops,
                                   Bounds limits)
    : runner(std::move(run)),
      ready(std::move(take)),
      superseded(std::move(drop)),
      handed(std::move(after)),
      threads(ops),
      bounds(limits) {}

InstrumentThread::~InstrumentThread() {
    if (thread != nullptr) threads.release(thread);
    for (void* ended : retired) threads.release(ended);
}

bool InstrumentThread::Post(const std::string& command) {
    std::unique_lock<platform::Mutex> lock(mutex);
    // Checked before anything is copied: what waits stays within its bounds.
    if (queue.size() >= bounds.commands || command.size() > bounds.bytes - queuedBytes)
        return false;
    const Item item{command, ++newest};
    if (superseded) superseded();
    // A thread left to finish its command after a stop takes the new work
    // instead of leaving.
    stopping = false;
    afterwards.clear();
    if (!alive) {
        if (thread != nullptr) {
            // Ended; a Stop may still be looking at it.
            if (waiters == 0) threads.release(thread);
            else retired.push_back(thread);
            thread = nullptr;
        }
        thread = threads.start(&InstrumentThread::Main, this);
        if (thread == nullptr) {
            RunAndHandOn(item, lock);
            return true;
        }
        alive = true;
    }
    queue.push_back(item);
    queuedBytes += command.size();
    wake.notify_all();
    return true;
}

void InstrumentThread::HandOn(const std::string& command, const std::string& response) {
    std::unique_lock<platform::Mutex> lock(mutex);
    ++newest;
    if (superseded) superseded();
    Hand(command, response, lock);
}

void InstrumentThread::Hand(const std::string& command, const std::string& response,
                            std::unique_lock<platform::Mutex>& lock) {
    if (!ready) return;
    ready(command, response);
    if (!handed) return;
    lock.unlock();
    try {
        handed();
    } catch (...) {
    }
    lock.lock();
}

std::string InstrumentThread::RunHere(const std::string& command) {
    std::unique_lock<platform::Mutex> lock(mutex);
    const Item item{command, ++newest};
    if (superseded) superseded();
    lock.unlock();
    std::string response;
    {
        std::lock_guard<platform::Mutex> one(running);
        response = runner(command);
    }
    lock.lock();
    if (item.sequence == newest) Hand(command, response, lock);
    return response;
}

void InstrumentThread::RunAndHandOn(const Item& item, std::unique_lock<platform::Mutex>& lock) {
    lock.unlock();
    std::string response;
    bool answered = false;
    try {
        std::lock_guard<platform::Mutex> one(running);
        response = runner(item.command);
        answered = true;
    } catch (...) {
        // The runner answers every command itself; only memory exhaustion
        // gets here, and then there is nothing to hand on.
    }
    lock.lock();
    if (answered && item.sequence == newest) {
        try {
            Hand(item.command, response, lock);
        } catch (...) {
        }
    }
}

bool InstrumentThread::Stop(std::uint32_t waitMs, std::vector<std::string>* dropped,
                            const boost::function<void()>& after) {
    void* waiting = nullptr;
    {
        std::lock_guard<platform::Mutex> lock(mutex);
        for (const Item& item : queue) dropped->push_back(item.command);
        queue.clear();
        queuedBytes = 0;
        if (!alive) return true;
        stopping = true;
        wake.notify_all();
        waiting = thread;
        ++waiters;
    }
    threads.wait(waiting, waitMs);
    std::lock_guard<platform::Mutex> lock(mutex);
    --waiters;
    // Ended, or about to: it touches nothing of ours any more.
    if (!alive) return true;
    if (after) afterwards.push_back(after);
    return false;
}

void InstrumentThread::Main(void* self) {
    static_cast<InstrumentThread*>(self)->Loop();
}

void InstrumentThread::Loop() {
    std::unique_lock<platform::Mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty()) break;
        const Item item = queue.front();
        queue.pop_front();
        queuedBytes -= item.command.size();
        RunAndHandOn(item, lock);
    }
    // Still under the lock, so that no Post hands this thread a command while
    // the driver is being released underneath it.
    for (const boost::function<void()>& action : afterwards) {
        try {
            action();
        } catch (...) {
        }
    }
    afterwards.clear();
    stopping = false;
    alive = false;
}

}  // namespace relay
