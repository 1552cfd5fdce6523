// How a cancel reaches the step that runs now: each step of an operation installs how to stop it.
// A cancel that arrives between steps reaches the next step as soon as it installs itself.
#pragma once

#include <functional>
#include <mutex>

namespace krzpap {

class CancelHook {
  public:
    void set(std::function<void()> action) {
        std::lock_guard<std::mutex> lock(mutex_);
        action_ = std::move(action);
        if (fired_ && action_) {
            action_();
        }
    }
    void fire() {
        std::lock_guard<std::mutex> lock(mutex_);
        fired_ = true;
        if (action_) {
            action_();
        }
    }
    bool fired() {
        std::lock_guard<std::mutex> lock(mutex_);
        return fired_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        fired_ = false;
        action_ = nullptr;
    }

  private:
    std::mutex mutex_;
    std::function<void()> action_;
    bool fired_ = false;
};

}  // namespace krzpap
