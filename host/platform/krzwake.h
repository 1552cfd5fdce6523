// A handle that ends a select at once from another thread: the waiting thread puts it in the read
// set beside its sockets, and another thread's wake() makes it readable until clear(). This is how
// a cancel reaches a connect, a reply wait or a scan pass without waiting for the pass to end.
//
// POSIX: an eventfd. Windows, whose select takes sockets only: a UDP socket bound to loopback and
// connected to itself; wake() sends it a datagram.
//
// The system handle is opened on first use (handle() or wake(), not clear()), from whichever
// thread comes first, so that an object that never waits costs no descriptor, and no socket is
// opened while a library is being loaded. When the system gives none (descriptors exhausted),
// handle() is INVALID_SOCKET: waits then see a cancel only at the end of their passes, as they
// would without this handle.
#pragma once

#include "krzcompat/krzexport.h"
#include "platform/krzplatform.h"

#include <atomic>
#include <mutex>

class KRZPLATFORM_API KRZWakeHandle {
  public:
    KRZWakeHandle();
    virtual ~KRZWakeHandle();  // a connection keeps its own state in a derived one
    KRZWakeHandle(const KRZWakeHandle&) = delete;
    KRZWakeHandle& operator=(const KRZWakeHandle&) = delete;

    // The handle to add to a select read set; INVALID_SOCKET when the system gave none.
    SOCKET handle();
    // Makes the handle readable. Any thread; several wakes before a clear are one.
    void wake();
    // Makes it unreadable again; returns whether it was woken since the last clear. Opens nothing:
    // a handle that was never opened was never woken.
    bool clear();

  private:
    void open();

    std::once_flag opened;
    std::atomic<SOCKET> socket;
};
