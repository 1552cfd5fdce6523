// Starts a non-blocking TCP connect on an existing socket, either by address (the host's routing)
// or carried by the packet driver through one adapter to the device with one MAC address.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "platform/krzplatform.h"

class KRZNETLIB_API KRZVirtualSocket {
  public:
    KRZVirtualSocket();
    ~KRZVirtualSocket();

    // Winsock connect convention: 0 success, -1 with getLastError() (10035: under way), any
    // other value is itself an error number.
    int connect(SOCKET s, const sockaddr* address, int length);
    int connect(SOCKET s, const sockaddr* address, int length, const KRZMacAddress& interfaceMac,
                const KRZMacAddress& destinationMac);
    int getLastError() const;

  private:
    int lastError_;
};
