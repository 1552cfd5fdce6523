// A kernel-style event. Made with manualReset true it stays set until resetEvent; otherwise one
// successful wait resets it.
//
// Copying: a copy refers to the same event (as a duplicated handle would): setting one sets both.
#pragma once

#include "krzcompat/krzexport.h"

#include <memory>
#include <string>

class KRZUTIL_API KRZEvent {
  public:
    // `name` is accepted and ignored (events are process-local here); `openExisting` likewise;
    // `securityAttributes` must be null.
    KRZEvent(const std::wstring& name, bool manualReset, bool initialState, bool openExisting,
             void* securityAttributes);
    KRZEvent(const KRZEvent& other);
    KRZEvent& operator=(const KRZEvent& other);
    ~KRZEvent();

    void setEvent();
    void resetEvent();
    // Waits up to `milliseconds` (0 tests without waiting); true when the event is set.
    bool isSignaled(unsigned long milliseconds);

  private:
    struct State;
    std::shared_ptr<State> state_;
};
