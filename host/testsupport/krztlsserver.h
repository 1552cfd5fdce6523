// A TLS server on loopback for the tests (Linux, OpenSSL): a self-signed certificate made when the
// server starts (a new key and certificate each time, as a device makes after a reset), then for
// each accepted connection a handshake, one HTTP request read up to its blank line, and the given
// reply, ended with close_notify.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace krztest {

class TlsServer {
  public:
    // Serves `reply` on each of the first `connections` connections, ended by close_notify or,
    // without `closeNotify`, by the TCP close alone (as many devices do); throws
    // std::runtime_error when OpenSSL or the socket could not be set up.
    // With `holdOpen`, each connection stays open after the reply until the client closes it
    // (at most five seconds), as a keep-alive device leaves it.
    TlsServer(std::string reply, int connections = 1, bool closeNotify = true,
              bool holdOpen = false);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    unsigned short port() const { return port_; }
    // The certificate's DER bytes.
    const std::vector<unsigned char>& certificate() const { return certificate_; }
    // Everything the clients sent in the clear, after decryption, joined (read after the
    // connections ended: the destructor or waitServed).
    std::string received() const;
    // The server names (SNI) the clients sent, one per connection ("" for none), read as
    // received().
    std::vector<std::string> serverNames() const { return serverNames_; }
    // Waits until every connection has been served (at most five seconds).
    bool waitServed();
    // The certificate and key as PEM, for programs that serve with them.
    const std::string& certificatePem() const { return certificatePem_; }
    const std::string& keyPem() const { return keyPem_; }

  private:
    void run();

    std::string reply_;
    int connections_;
    bool closeNotify_;
    bool holdOpen_;
    int listenFd_ = -1;
    unsigned short port_ = 0;
    void* context_ = nullptr;  // SSL_CTX
    std::vector<unsigned char> certificate_;
    std::string certificatePem_;
    std::string keyPem_;
    std::string received_;
    std::vector<std::string> serverNames_;
    std::atomic<bool> done_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A TLS client for tests: connects to 127.0.0.1:port, shakes hands without checking the
// certificate, sends `request` (nothing when it is empty; then its close_notify with `halfClose`,
// as a client that has no more to say) and reads until the server closes (five seconds at most).
// Gives what came back in the clear, the certificate the server showed as PEM ("" when the
// handshake failed), and whether the server ended with close_notify.
struct TlsExchange {
    std::string certificatePem;
    std::string reply;
    bool closeNotify = false;
};
TlsExchange tlsExchange(unsigned short port, const std::string& request, bool halfClose = false);

// A fresh self-signed certificate (EC P-256, two years, CN "krzlab") as PEM texts.
void makeSelfSigned(std::string& certificatePem, std::string& keyPem);

}  // namespace krztest
