/// \file
/// A kernel-style event.
#pragma once

#include "krzcompat/krzexport.h"

#include <memory>
#include <string>

/// A kernel-style event. Made with manualReset true it stays set until resetEvent; otherwise one
/// successful wait resets it. Every operation may be called from any thread (the web
/// configurator's cancel sets its event from another thread).
///
/// Copying: a copy refers to the same event (as a duplicated handle would): setting one sets both.
class KRZUTIL_API KRZEvent {
  public:
    /// \p name is accepted and ignored (events are process-local here); \p openExisting likewise;
    /// \p securityAttributes must be null. \p initialState: set from the start.
    KRZEvent(const std::wstring& name, bool manualReset, bool initialState, bool openExisting,
             void* securityAttributes);
    /// Refers to the same event.
    KRZEvent(const KRZEvent& other);
    /// Refers to the same event as \p other from now on.
    KRZEvent& operator=(const KRZEvent& other);
    ~KRZEvent();

    /// Sets the event and wakes the waiters.
    void setEvent();
    /// Clears the event.
    void resetEvent();
    /// Waits up to \p milliseconds (0 tests without waiting, 0xFFFFFFFF waits as long as it
    /// takes); true when the event is set.
    bool isSignaled(unsigned long milliseconds);

  private:
    struct State;
    std::shared_ptr<State> state_;
};
