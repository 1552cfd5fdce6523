// TLS on Windows: the system's own (Schannel), through the session in krzschannel_win.cpp.
#include "platform/krztls.h"

#include "platform/krzschannel_win.h"

namespace {

// Both enumerations list the same results in the same order.
KRZTlsSession::Status from(krzschannel::Status status) {
    return static_cast<KRZTlsSession::Status>(status);
}

}  // namespace

struct KRZTlsSession::Impl {
    Impl(SOCKET socket, const std::string& serverName) : session(socket, serverName) {}
    krzschannel::Session session;
};

KRZTlsSession::KRZTlsSession(SOCKET socket, const std::string& serverName)
    : impl_(new Impl(socket, serverName)) {}
KRZTlsSession::~KRZTlsSession() = default;

KRZTlsSession::Status KRZTlsSession::handshake() {
    return from(impl_->session.handshake());
}

KRZTlsSession::Status KRZTlsSession::send(const char* data, size_t length, size_t& sent) {
    return from(impl_->session.write(data, length, &sent));
}

KRZTlsSession::Status KRZTlsSession::recv(char* buffer, size_t capacity, size_t& received) {
    return from(impl_->session.read(buffer, capacity, &received));
}

size_t KRZTlsSession::pending() const {
    return impl_->session.held();
}

void KRZTlsSession::close() {
    impl_->session.close();
}

const std::vector<unsigned char>& KRZTlsSession::peerCertificate() const {
    return impl_->session.peerCertificate();
}

std::string KRZTlsSession::protocol() const {
    return impl_->session.protocol();
}

const std::string& KRZTlsSession::error() const {
    return impl_->session.error();
}
