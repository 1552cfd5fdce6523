// What the command-line programs' process seam builds from the system's own pieces, the same on
// every system.
#include "krzprocess.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace krzprocess {

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt,
                      const std::function<void()>& onGiveUp, int giveUpStatus) {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        bool interrupted = false;
        std::exception_ptr error;
    };
    // Shared with the worker, which may outlive this call's frame only on the way to exitNow.
    auto state = std::make_shared<State>();
    runInterruptible(
        [&] {
            // Started inside the interruptible run: where the system hands interrupts to one
            // watcher thread, this one never takes them.
            std::thread worker([state, &work] {
                try {
                    work();
                } catch (...) {
                    state->error = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(state->mutex);
                state->done = true;
                state->changed.notify_all();
            });
            std::unique_lock<std::mutex> lock(state->mutex);
            state->changed.wait(lock, [&] { return state->done || state->interrupted; });
            if (!state->done) {
                lock.unlock();
                onGiveUp();
                exitNow(giveUpStatus);
            }
            lock.unlock();
            worker.join();
        },
        [&] {
            onInterrupt();
            std::lock_guard<std::mutex> lock(state->mutex);
            state->interrupted = true;
            state->changed.notify_all();
        });
    if (state->error) {
        std::rethrow_exception(state->error);
    }
    return state->interrupted;
}

}  // namespace krzprocess
