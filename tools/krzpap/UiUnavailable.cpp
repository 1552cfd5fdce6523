// krzpap ui where the program was built without an HTTP server library (the Windows build: the
// server library comes from Debian as a Linux shared library only).
#include "UiServer.h"

namespace krzpap {

int runUiCommand(const Globals&, const UiOptions&) {
    throw CommandError(EXIT_ERROR,
                       "this build of krzpap has no page server (krzpap ui needs cpp-httplib, "
                       "which it was built without); the other commands do the same work");
}

}  // namespace krzpap
