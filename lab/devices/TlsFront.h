// The HTTPS side of an emulated device: the TLS session is ended here (OpenSSL, server side) and
// the plain bytes go to the device's own connection handler through a socket pair, so that the
// device serves HTTPS exactly as it serves HTTP, faults and reboots included.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace krzlab {

// A certificate and key (PEM) ready to serve with.
class TlsIdentity {
  public:
    // Throws std::runtime_error when OpenSSL does not take them.
    TlsIdentity(const std::string& certificatePem, const std::string& keyPem);
    ~TlsIdentity();
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;

    const std::string& certificatePem() const { return certificatePem_; }

    // Ends TLS on the accepted socket `fd` and hands the plain side to `serve` (on a thread of
    // its own) until both sides are done. A client that fails the handshake, or stays silent for
    // `idleSeconds`, is dropped without `serve` ever seeing it.
    void serve(int fd, const std::function<void(int plainFd)>& serve, int idleSeconds = 10) const;

  private:
    std::string certificatePem_;
    void* context_ = nullptr;  // SSL_CTX
};

// A new self-signed certificate and key (EC P-256), as a router makes at its first boot.
void makeDeviceCertificate(std::string& certificatePem, std::string& keyPem);

}  // namespace krzlab
