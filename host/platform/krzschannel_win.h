// A TLS client session over Schannel (the system's own TLS) on a connected non-blocking socket.
// Every step returns at once: when the socket would block it says which way it waits, so that the
// caller's select, time-out and cancel keep control. Trust is the caller's: no name or chain is
// checked here; the caller compares the peer certificate's SHA-256 with the one it pinned.
#pragma once

#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krzschannel {

// In the order of KRZTlsSession::Status, which krztls_win.cpp converts it to.
enum class Status {
    Done,       // the step finished (handshake complete, bytes moved)
    WantRead,   // wait until the socket is readable, then call again
    WantWrite,  // wait until the socket is writable, then call again
    Closed,     // the peer ended the session (close_notify, or a close between records)
    Failed      // error() says why; the session is unusable
};

class Session {
  public:
    // `serverName` goes out as SNI when it is a host name, not when it is an address or empty.
    Session(SOCKET socket, const std::string& serverName);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Drives the handshake one step further; Done once it is complete.
    Status handshake();
    // Up to `size` decrypted bytes into `data` (*moved tells how many) when Done.
    Status read(void* data, size_t size, size_t* moved);
    // Encrypts up to one record of `data` and sends it; *moved tells how many bytes were taken.
    // Bytes taken but not yet on the wire are sent by the next call, or by flush().
    Status write(const void* data, size_t size, size_t* moved);
    // Sends what write() left; Done when nothing is left.
    Status flush();
    // Decrypted bytes held, or 1 when a whole record waits to be decrypted: read() then moves
    // something (or fails) without the socket being readable.
    size_t held() const;
    // Sends close_notify when the socket takes it at once, and releases the session.
    void close();

    // The peer certificate (DER), empty before the handshake completed.
    const std::vector<unsigned char>& peerCertificate() const { return certificate; }
    // The protocol agreed ("TLSv1.2"), empty before the handshake completed.
    std::string protocol() const;
    const std::string& error() const { return failure; }

  private:
    Status fail(const std::string& sentence);
    Status fail(const char* what, SECURITY_STATUS status);
    Status sendPending();
    Status receiveMore(const char* during);
    Status decryptRecord();
    void queueToken(SecBuffer& token);
    void keepExtra(const SecBuffer& extra);
    void keepCertificate();
    SEC_WCHAR* targetName();

    SOCKET connection;
    std::wstring target;  // the SNI name; empty for none
    CredHandle credentials{};
    CtxtHandle context{};
    bool haveCredentials = false;
    bool haveContext = false;
    bool established = false;
    bool ended = false;
    SecPkgContext_StreamSizes sizes{};
    std::vector<char> received;  // ciphertext from the socket, not yet decrypted
    std::vector<char> plain;     // decrypted bytes not yet handed up
    size_t plainOffset = 0;
    std::vector<char> pending;  // ciphertext not yet on the wire
    size_t pendingOffset = 0;
    std::string failure;
    std::vector<unsigned char> certificate;
};

}  // namespace krzschannel
