#include "krzutil/KRZMutex.h"

#include <chrono>
#include <mutex>

struct KRZMutex::Impl {
    std::recursive_timed_mutex mutex;
};

KRZMutex::KRZMutex() : impl_(new Impl) {}
// A copy is a fresh mutex: lock state belongs to one object only.
KRZMutex::KRZMutex(const KRZMutex&) : impl_(new Impl) {}
KRZMutex& KRZMutex::operator=(const KRZMutex&) {
    return *this;
}
KRZMutex::~KRZMutex() = default;

void KRZMutex::lock() {
    impl_->mutex.lock();
}

bool KRZMutex::lock(unsigned long timeoutMs) {
    if (timeoutMs == 0) {
        return impl_->mutex.try_lock();
    }
    if (timeoutMs >= 0xFFFFFFFFUL) {  // Windows' INFINITE
        impl_->mutex.lock();
        return true;
    }
    return impl_->mutex.try_lock_for(std::chrono::milliseconds(timeoutMs));
}

void KRZMutex::unlock() {
    impl_->mutex.unlock();
}

KRZMutexGrabber::KRZMutexGrabber(KRZMutex& mutex, bool lockNow) : mutex_(mutex), depth_(0) {
    if (lockNow) {
        lock();
    }
}

KRZMutexGrabber::~KRZMutexGrabber() {
    while (depth_ > 0) {
        unlock();
    }
}

void KRZMutexGrabber::lock() {
    mutex_.lock();
    ++depth_;
}

bool KRZMutexGrabber::lock(unsigned long timeoutMs) {
    if (!mutex_.lock(timeoutMs)) {
        return false;
    }
    ++depth_;
    return true;
}

void KRZMutexGrabber::unlock() {
    if (depth_ > 0) {
        --depth_;
        mutex_.unlock();
    }
}

bool KRZMutexGrabber::isLocked() const {
    return depth_ > 0;
}
