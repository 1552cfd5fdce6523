// A TLS client session over a socket the caller has already connected and made non-blocking.
//
// The session does not own the socket and never waits: every call moves what it can and says
// what it needs next (WantRead: call again once the socket is readable; WantWrite: once it is
// writable). The caller's own select, time-out and cancel logic keeps control, exactly as over a
// plain socket. I/O goes through the socket's send and recv, so any descriptor the platform layer
// gives (a kernel socket, a connection carried by the packet link) can carry TLS.
//
// Trust is not decided here: no certificate name or chain is checked, because the devices this
// talks to sign their own certificates. The caller reads the peer's certificate after the
// handshake (its DER bytes) and decides by its fingerprint before it sends anything secret.
//
// TLS 1.2 and 1.3 only. The server name (SNI) is sent only for a host name, never for an IP
// address. A server's request to renegotiate is declined (a no_renegotiation alert): no second
// handshake ever runs inside a session.
//
// Linux: OpenSSL (krztls_posix.cpp). Windows: Schannel (krztls_win.cpp). No TLS library header
// shows here. A session is used by one thread at a time.
#pragma once

#include "krzcompat/krzexport.h"
#include "platform/krzplatform.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class KRZPLATFORM_API KRZTlsSession {
  public:
    enum class Status {
        Done,       // the step finished, or bytes were moved (see the count)
        WantRead,   // nothing moved: wait until the socket is readable, then call again
        WantWrite,  // nothing moved: wait until the socket is writable, then call again
        Closed,     // the peer ended the session (close_notify, or TCP close where allowed)
        Failed,     // the session is unusable; error() says why in a sentence
    };

    // A client session over `socket` (connected, non-blocking; not owned, not closed here).
    // `serverName` is the host as the user wrote it: sent as SNI when it is a name, not when it
    // is an IPv4/IPv6 literal or empty. Nothing is sent until handshake(). A session whose TLS
    // library could not be set up fails its first handshake() with that sentence.
    KRZTlsSession(SOCKET socket, const std::string& serverName);
    ~KRZTlsSession();
    KRZTlsSession(const KRZTlsSession&) = delete;
    KRZTlsSession& operator=(const KRZTlsSession&) = delete;

    // One step of the handshake: Done once it is complete (the peer's certificate is then
    // known), WantRead/WantWrite while it goes on, Failed on an alert, garbage, a protocol
    // below TLS 1.2, a peer that closed during the handshake, or a socket error.
    Status handshake();

    // Encrypts and sends from `data`; `sent` is how many of `length` bytes were taken (Done with
    // sent > 0). After WantWrite/WantRead the same bytes must be offered again. Failed when the
    // peer reset the connection or the session failed before.
    Status send(const char* data, size_t length, size_t& sent);

    // Receives up to `capacity` decrypted bytes into `buffer`; Done with received > 0 when some
    // came. Closed when the peer sent close_notify or closed the connection after the handshake
    // (as a plain socket's recv of 0: the caller's framing decides whether a reply is complete).
    // Failed on an alert, a bad or oversized record, a reset, a socket error.
    Status recv(char* buffer, size_t capacity, size_t& received);

    // Decrypted bytes already held by the session: recv returns them without the socket being
    // readable, so a caller must not wait on the socket while this is non-zero.
    size_t pending() const;

    // Sends close_notify once, without waiting for the peer's; safe at any time, also after
    // Failed (then it sends nothing). The caller still closes the socket.
    void close();

    // The peer's certificate as DER bytes once the handshake is Done; empty before, or when the
    // peer sent none.
    const std::vector<unsigned char>& peerCertificate() const;

    // The negotiated protocol ("TLSv1.2", "TLSv1.3") after the handshake, empty before.
    std::string protocol() const;

    // The sentence for the last Failed (for example "the device ended the TLS handshake with
    // alert 40 (handshake failure)"); empty while nothing failed.
    const std::string& error() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
