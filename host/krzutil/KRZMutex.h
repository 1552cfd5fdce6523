/// \file
/// A re-entrant mutex and its scoped holder.
#pragma once

#include "krzcompat/krzexport.h"

#include <memory>

/// A re-entrant mutex: the holding thread may lock it again and must unlock it as often.
///
/// Copying: a copy (construction or assignment) is a new, independent, unlocked mutex; nothing of
/// the source's lock state is shared or carried. Objects that hold a KRZMutex and are copied thus
/// never share a lock with their source.
class KRZUTIL_API KRZMutex {
  public:
    /// Unlocked.
    KRZMutex();
    /// A new, unlocked mutex (see above).
    KRZMutex(const KRZMutex& other);
    /// Keeps this mutex as it is (see above).
    KRZMutex& operator=(const KRZMutex& other);
    /// Destroys the mutex; no thread may hold it.
    ~KRZMutex();

    /// Waits as long as another thread holds it.
    void lock();
    /// Waits up to \p timeoutMs milliseconds; 0 means "do not wait", 0xFFFFFFFF (INFINITE) waits
    /// as long as it takes. True when taken.
    bool lock(unsigned long timeoutMs);
    /// Once per successful lock, by the holding thread.
    void unlock();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Scoped holder: unlocks on destruction as often as it locked. One thread; the mutex must outlive
/// it.
class KRZUTIL_API KRZMutexGrabber {
  public:
    /// Locks at once when \p lockNow.
    explicit KRZMutexGrabber(KRZMutex& mutex, bool lockNow = true);
    /// Unlocks as often as this holder locked.
    ~KRZMutexGrabber();
    KRZMutexGrabber(const KRZMutexGrabber&) = delete;
    KRZMutexGrabber& operator=(const KRZMutexGrabber&) = delete;

    /// Locks once more.
    void lock();
    /// Locks once more within \p timeoutMs (0: without waiting); true when taken.
    bool lock(unsigned long timeoutMs);
    /// Undoes one lock of this holder; nothing when it holds none.
    void unlock();
    /// True while this holder holds the mutex.
    bool isLocked() const;

  private:
    KRZMutex& mutex_;
    int depth_;
};
