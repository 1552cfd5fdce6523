#include "krzutil/KRZEvent.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
const unsigned long kInfinite = 0xFFFFFFFFUL;  // Windows' INFINITE: no time limit
}  // namespace

struct KRZEvent::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = true;
    bool signaled = false;
};

KRZEvent::KRZEvent(const std::wstring&, bool manualReset, bool initialState, bool, void*)
    : state_(std::make_shared<State>()) {
    state_->manualReset = manualReset;
    state_->signaled = initialState;
}

KRZEvent::KRZEvent(const KRZEvent& other) = default;
KRZEvent& KRZEvent::operator=(const KRZEvent& other) = default;
KRZEvent::~KRZEvent() = default;

void KRZEvent::setEvent() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->signaled = true;
    }
    state_->changed.notify_all();
}

void KRZEvent::resetEvent() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->signaled = false;
}

bool KRZEvent::isSignaled(unsigned long milliseconds) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    bool set;
    if (milliseconds >= kInfinite) {
        state_->changed.wait(lock, [this] { return state_->signaled; });
        set = true;
    } else {
        set = state_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                       [this] { return state_->signaled; });
    }
    if (set && !state_->manualReset) {
        state_->signaled = false;
    }
    return set;
}
