#include "krznetlib/KRZVirtualSocket.h"

#include "krznetlib/KRZNetworkBackend.h"

#include <cstring>

namespace {

bool isLoopback(const sockaddr_in& address) {
    return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

// Loopback destinations are always connected for real, whatever the backend, so that servers on
// this machine can stand in for devices.
int connectLoopback(SOCKET s, const sockaddr_in& address, int& lastError) {
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        lastError = WSAGetLastError();
        return SOCKET_ERROR;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    lastError = WSAGetLastError();
    return SOCKET_ERROR;
}

// Checks the address; false with the Winsock error in lastError when it cannot be used.
bool toInet(const sockaddr* address, int length, sockaddr_in& out, int& lastError) {
    if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) {
        lastError = WSAEFAULT;
        return false;
    }
    if (address->sa_family != AF_INET) {
        lastError = WSAEAFNOSUPPORT;
        return false;
    }
    std::memcpy(&out, address, sizeof out);
    out.sin_port = htons(KRZNetworkBackend::portFor(out.sin_addr, ntohs(out.sin_port)));
    return true;
}

// What both connects share: the address check, loopback connected for real, and the Winsock error
// recorded; `viaBackend` starts the connect to any other address.
template <typename ViaBackend>
int connectWith(SOCKET s, const sockaddr* address, int length, int& lastError,
                ViaBackend viaBackend) {
    sockaddr_in inet;
    lastError = 0;
    int result;
    if (!toInet(address, length, inet, lastError)) {
        result = SOCKET_ERROR;
    } else if (isLoopback(inet) && KRZNetworkBackend::loopbackPassesStraight()) {
        result = connectLoopback(s, inet, lastError);
    } else {
        result = viaBackend(inet);
    }
    if (result == SOCKET_ERROR) {
        WSASetLastError(lastError);
    }
    return result;
}

}  // namespace

KRZVirtualSocket::KRZVirtualSocket() : lastError_(0) {}
KRZVirtualSocket::~KRZVirtualSocket() = default;

int KRZVirtualSocket::connect(SOCKET s, const sockaddr* address, int length) {
    return connectWith(s, address, length, lastError_, [&](const sockaddr_in& inet) {
        KRZMacAddress interfaceMac, destinationMac;
        if (KRZNetworkBackend::carriedTo(inet.sin_addr, interfaceMac, destinationMac)) {
            return KRZNetworkBackend::active()->connectVia(s, inet, interfaceMac, destinationMac,
                                                           lastError_);
        }
        return KRZNetworkBackend::active()->connect(s, inet, lastError_);
    });
}

int KRZVirtualSocket::connect(SOCKET s, const sockaddr* address, int length,
                              const KRZMacAddress& interfaceMac,
                              const KRZMacAddress& destinationMac) {
    return connectWith(s, address, length, lastError_, [&](const sockaddr_in& inet) {
        return KRZNetworkBackend::active()->connectVia(s, inet, interfaceMac, destinationMac,
                                                       lastError_);
    });
}

int KRZVirtualSocket::getLastError() const {
    return lastError_;
}
