// TLS over Debian's OpenSSL. The socket is driven through a BIO of our own that calls send/recv
// (send with MSG_NOSIGNAL: a peer's close must not raise SIGPIPE), so every descriptor the
// platform gives works, and nothing ever blocks: a would-block is OpenSSL's retry, seen by the
// caller as WantRead/WantWrite.
#define KRZ_PLATFORM_IMPLEMENTATION
#include "platform/krztls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

namespace {

// The socket error of the last send or recv on this thread, kept apart from errno, which OpenSSL
// may change on its way back.
thread_local int lastSocketError = 0;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EINPROGRESS;
}

int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = ::send(static_cast<int>(BIO_get_fd(bio, nullptr)), data,
                       static_cast<size_t>(length), MSG_NOSIGNAL);
    lastSocketError = n < 0 ? errno : 0;
    if (n < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n =
        ::recv(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(length), 0);
    lastSocketError = n < 0 ? errno : 0;
    if (n < 0 && wouldBlock(errno))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long bioControl(BIO* bio, int command, long, void* pointer) {
    switch (command) {
        case BIO_C_SET_FD:  // BIO_set_fd passes the descriptor by address, the close flag by value
            BIO_set_data(
                bio, reinterpret_cast<void*>(static_cast<intptr_t>(*static_cast<int*>(pointer))));
            BIO_set_init(bio, 1);
            return 1;
        case BIO_C_GET_FD:
            if (pointer != nullptr)
                *static_cast<int*>(pointer) =
                    static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
            return static_cast<long>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            return 0;
    }
}

struct Shared {
    BIO_METHOD* method = nullptr;
    SSL_CTX* context = nullptr;
};

const Shared& shared() {
    static Shared s;
    static std::once_flag once;
    std::call_once(once, [] {
        s.method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "krz socket");
        if (s.method == nullptr)
            return;
        BIO_meth_set_write(s.method, bioWrite);
        BIO_meth_set_read(s.method, bioRead);
        BIO_meth_set_ctrl(s.method, bioControl);
        s.context = SSL_CTX_new(TLS_client_method());
        if (s.context == nullptr)
            return;
        SSL_CTX_set_min_proto_version(s.context, TLS1_2_VERSION);
        // The fingerprint is the trust: the caller checks it after the handshake.
        SSL_CTX_set_verify(s.context, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_options(s.context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
        SSL_CTX_set_session_cache_mode(s.context, SSL_SESS_CACHE_OFF);
    });
    return s;
}

bool isAddressLiteral(const std::string& host) {
    unsigned char buffer[16];
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    return inet_pton(AF_INET, bare.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, bare.c_str(), buffer) == 1;
}

}  // namespace

struct KRZTlsSession::Impl {
    SSL* ssl = nullptr;
    std::vector<unsigned char> certificate;
    std::string error;
    int alert = -1;  // the alert the peer sent, if any
    bool failed = false;
    bool closed = false;

    ~Impl() {
        if (ssl != nullptr)
            SSL_free(ssl);
    }

    Status fail(std::string sentence) {
        ERR_clear_error();
        failed = true;
        error = std::move(sentence);
        return Status::Failed;
    }

    // What OpenSSL's result means; `during` names the step for the sentence.
    Status result(int returned, const char* during) {
        int code = SSL_get_error(ssl, returned);
        int saved = lastSocketError;
        switch (code) {
            case SSL_ERROR_WANT_READ:
                return Status::WantRead;
            case SSL_ERROR_WANT_WRITE:
                return Status::WantWrite;
            case SSL_ERROR_ZERO_RETURN:
                ERR_clear_error();
                return Status::Closed;
            case SSL_ERROR_SYSCALL:
                if (saved != 0 && !wouldBlock(saved))
                    return fail(std::string("the connection failed ") + during + ": " +
                                strerror(saved));
                return fail(std::string("the device closed the connection ") + during);
            default:
                break;
        }
        if (alert >= 0)
            return fail(std::string("the device ended the session ") + during + " with TLS alert " +
                        std::to_string(alert) + " (" + SSL_alert_desc_string_long(alert) + ")");
        unsigned long e = ERR_peek_error();
        if (ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            return fail(std::string("the device closed the connection ") + during);
        const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
        return fail(std::string("the device's TLS was refused ") + during + " (" +
                    (reason != nullptr ? reason : "protocol error") + ")");
    }
};

namespace {

void onInfo(const SSL* ssl, int where, int value) {
    // SSL_CB_READ_ALERT shares its alert bit with SSL_CB_WRITE_ALERT: both bits must be there.
    if ((where & SSL_CB_READ_ALERT) != SSL_CB_READ_ALERT)
        return;
    auto* alert = static_cast<int*>(SSL_get_app_data(ssl));
    // A close_notify (0) is an end, not a failure.
    if (alert != nullptr && (value & 0xff) != 0)
        *alert = value & 0xff;
}

}  // namespace

KRZTlsSession::KRZTlsSession(SOCKET socket, const std::string& serverName) : impl_(new Impl) {
    const Shared& s = shared();
    if (s.context == nullptr || s.method == nullptr) {
        impl_->fail("the TLS library (OpenSSL) could not be set up");
        return;
    }
    impl_->ssl = SSL_new(s.context);
    BIO* bio = impl_->ssl != nullptr ? BIO_new(s.method) : nullptr;
    if (bio == nullptr) {
        impl_->fail("the TLS library (OpenSSL) could not start a session");
        return;
    }
    BIO_set_fd(bio, static_cast<int>(socket), BIO_NOCLOSE);
    SSL_set_bio(impl_->ssl, bio, bio);
    SSL_set_connect_state(impl_->ssl);
    SSL_set_app_data(impl_->ssl, &impl_->alert);
    SSL_set_info_callback(impl_->ssl, onInfo);
    if (!serverName.empty() && !isAddressLiteral(serverName))
        SSL_set_tlsext_host_name(impl_->ssl, serverName.c_str());
}

KRZTlsSession::~KRZTlsSession() = default;

KRZTlsSession::Status KRZTlsSession::handshake() {
    if (impl_->failed)
        return Status::Failed;
    ERR_clear_error();
    lastSocketError = 0;
    int r = SSL_do_handshake(impl_->ssl);
    if (r != 1) {
        Status st = impl_->result(r, "during the TLS handshake");
        return st == Status::Closed
                   ? impl_->fail("the device closed the connection during the TLS handshake")
                   : st;
    }
    X509* peer = SSL_get1_peer_certificate(impl_->ssl);
    if (peer != nullptr) {
        int length = i2d_X509(peer, nullptr);
        if (length > 0) {
            impl_->certificate.resize(static_cast<size_t>(length));
            unsigned char* at = impl_->certificate.data();
            i2d_X509(peer, &at);
        }
        X509_free(peer);
    }
    return Status::Done;
}

KRZTlsSession::Status KRZTlsSession::send(const char* data, size_t length, size_t& sent) {
    sent = 0;
    if (impl_->failed)
        return Status::Failed;
    if (length == 0)
        return Status::Done;
    ERR_clear_error();
    lastSocketError = 0;
    int piece = static_cast<int>(length > INT_MAX ? INT_MAX : length);
    int r = SSL_write(impl_->ssl, data, piece);
    if (r > 0) {
        sent = static_cast<size_t>(r);
        return Status::Done;
    }
    Status st = impl_->result(r, "while sending");
    return st == Status::Closed ? impl_->fail("the device closed the connection while sending")
                                : st;
}

KRZTlsSession::Status KRZTlsSession::recv(char* buffer, size_t capacity, size_t& received) {
    received = 0;
    if (impl_->failed)
        return Status::Failed;
    if (impl_->closed)
        return Status::Closed;
    ERR_clear_error();
    lastSocketError = 0;
    int piece = static_cast<int>(capacity > INT_MAX ? INT_MAX : capacity);
    int r = SSL_read(impl_->ssl, buffer, piece);
    if (r > 0) {
        received = static_cast<size_t>(r);
        return Status::Done;
    }
    int code = SSL_get_error(impl_->ssl, r);
    unsigned long e = ERR_peek_error();
    // A TCP close after the handshake ends the reply as it would over a plain socket.
    if ((code == SSL_ERROR_SYSCALL && lastSocketError == 0) ||
        (code == SSL_ERROR_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING &&
         impl_->alert < 0)) {
        ERR_clear_error();
        impl_->closed = true;
        return Status::Closed;
    }
    Status st = impl_->result(r, "while receiving");
    if (st == Status::Closed)
        impl_->closed = true;
    return st;
}

size_t KRZTlsSession::pending() const {
    if (impl_->ssl == nullptr || impl_->failed)
        return 0;
    int n = SSL_pending(impl_->ssl);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void KRZTlsSession::close() {
    if (impl_->ssl == nullptr || impl_->failed || !SSL_is_init_finished(impl_->ssl))
        return;
    if ((SSL_get_shutdown(impl_->ssl) & SSL_SENT_SHUTDOWN) == 0)
        SSL_shutdown(impl_->ssl);
    ERR_clear_error();
}

const std::vector<unsigned char>& KRZTlsSession::peerCertificate() const {
    return impl_->certificate;
}

std::string KRZTlsSession::protocol() const {
    if (impl_->ssl == nullptr || !SSL_is_init_finished(impl_->ssl))
        return {};
    return SSL_get_version(impl_->ssl);
}

const std::string& KRZTlsSession::error() const {
    return impl_->error;
}
