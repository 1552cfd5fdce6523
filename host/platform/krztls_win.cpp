// TLS on Windows will be the system's own (Schannel). Until it is written every session fails its
// handshake with a sentence, so an https:// address ends as an error, never as plain HTTP.
#include "platform/krztls.h"

struct KRZTlsSession::Impl {
    std::vector<unsigned char> certificate;
    std::string error = "HTTPS is not available in this Windows build yet";
};

KRZTlsSession::KRZTlsSession(SOCKET, const std::string&) : impl_(new Impl) {}
KRZTlsSession::~KRZTlsSession() = default;

KRZTlsSession::Status KRZTlsSession::handshake() {
    return Status::Failed;
}

KRZTlsSession::Status KRZTlsSession::send(const char*, size_t, size_t& sent) {
    sent = 0;
    return Status::Failed;
}

KRZTlsSession::Status KRZTlsSession::recv(char*, size_t, size_t& received) {
    received = 0;
    return Status::Failed;
}

size_t KRZTlsSession::pending() const {
    return 0;
}

void KRZTlsSession::close() {}

const std::vector<unsigned char>& KRZTlsSession::peerCertificate() const {
    return impl_->certificate;
}

std::string KRZTlsSession::protocol() const {
    return {};
}

const std::string& KRZTlsSession::error() const {
    return impl_->error;
}
