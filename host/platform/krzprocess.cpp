// What the command-line programs' process seam builds from the system's own pieces, the same on
// every system.
#include "krzprocess.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace krzprocess {

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt,
                      int graceMs, const std::function<void()>& onGiveUp, int giveUpStatus) {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        bool interrupted = false;
        std::chrono::steady_clock::time_point giveUpAt;
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
            while (!state->done) {
                if (!state->interrupted) {
                    state->changed.wait(lock);
                } else if (state->changed.wait_until(lock, state->giveUpAt) ==
                               std::cv_status::timeout &&
                           !state->done) {
                    lock.unlock();
                    onGiveUp();
                    exitNow(giveUpStatus);
                }
            }
            lock.unlock();
            worker.join();
        },
        [&] {
            onInterrupt();
            std::lock_guard<std::mutex> lock(state->mutex);
            state->interrupted = true;
            state->giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
            state->changed.notify_all();
        });
    if (state->error) {
        std::rethrow_exception(state->error);
    }
    return state->interrupted;
}

}  // namespace krzprocess
