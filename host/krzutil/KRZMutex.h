// A re-entrant mutex: the holding thread may lock it again and must unlock it as often.
//
// Copying: a copy (construction or assignment) is a new, independent, unlocked mutex; nothing of
// the source's lock state is shared or carried. Objects that hold a KRZMutex and are copied thus
// never share a lock with their source.
#pragma once

#include "krzcompat/krzexport.h"

#include <memory>

class KRZUTIL_API KRZMutex {
  public:
    KRZMutex();
    KRZMutex(const KRZMutex& other);
    KRZMutex& operator=(const KRZMutex& other);
    ~KRZMutex();

    void lock();
    // Waits up to `timeoutMs` milliseconds; 0 means "do not wait". True when taken.
    bool lock(unsigned long timeoutMs);
    void unlock();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Scoped holder: unlocks on destruction if it holds the mutex.
class KRZUTIL_API KRZMutexGrabber {
  public:
    explicit KRZMutexGrabber(KRZMutex& mutex, bool lockNow = true);
    ~KRZMutexGrabber();
    KRZMutexGrabber(const KRZMutexGrabber&) = delete;
    KRZMutexGrabber& operator=(const KRZMutexGrabber&) = delete;

    void lock();
    bool lock(unsigned long timeoutMs);
    void unlock();
    bool isLocked() const;

  private:
    KRZMutex& mutex_;
    int depth_;
};
