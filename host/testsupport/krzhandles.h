// What the tests ask of the operating system about this process itself.
#pragma once

namespace krztest {

// How many descriptors (POSIX) or kernel handles (Windows) the process holds open; -1 when it
// cannot tell. Leak checks compare two counts taken around a piece of work.
int openHandleCount();

// True when this Windows program runs under Wine, whose sockets cannot do everything Windows does
// (a test that needs such a thing skips itself there and says why).
bool underWine();

// Gives the socket a second descriptor with exactly that number, raising the process's limit on
// descriptors when it allows; false when the number cannot be had (POSIX only).
bool duplicateAt(unsigned int socket, int number);

}  // namespace krztest
