// krzpap ui: the page on loopback that does what the device commands do.
#pragma once

#include "Cli.h"

namespace krzpap {

struct UiOptions {
    int port = 0;      // 0: a free port
    bool open = true;  // open the page in the user's browser
};

// Serves until Ctrl-C; throws CommandError when it cannot start.
int runUiCommand(const Globals& globals, const UiOptions& options);

}  // namespace krzpap
