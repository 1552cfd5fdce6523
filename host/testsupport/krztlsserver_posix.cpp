#define KRZ_PLATFORM_IMPLEMENTATION
#include "testsupport/krztlsserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>

#include <algorithm>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>

namespace krztest {

namespace {

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace

void makeSelfSigned(std::string& certificatePem, std::string& keyPem) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert)
        throw std::runtime_error("OpenSSL could not make a key");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()),
                     static_cast<long>(std::chrono::steady_clock::now().time_since_epoch().count() &
                                       0x7fffffff));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("krzlab"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        throw std::runtime_error("OpenSSL could not sign the certificate");
    std::unique_ptr<BIO, decltype(&BIO_free)> c(BIO_new(BIO_s_mem()), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> k(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(c.get(), cert.get());
    PEM_write_bio_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    certificatePem = bioText(c.get());
    keyPem = bioText(k.get());
}

TlsExchange tlsExchange(unsigned short port, const std::string& request, bool halfClose) {
    ::signal(SIGPIPE, SIG_IGN);
    TlsExchange out;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv = {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(context);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1) {
        X509* cert = SSL_get1_peer_certificate(ssl);
        std::unique_ptr<BIO, decltype(&BIO_free)> pem(BIO_new(BIO_s_mem()), BIO_free);
        if (cert != nullptr && PEM_write_bio_X509(pem.get(), cert) == 1)
            out.certificatePem = bioText(pem.get());
        X509_free(cert);
        if (request.empty() ||
            SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
            if (halfClose)
                SSL_shutdown(ssl);
            char buffer[4096];
            int n;
            while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
                out.reply.append(buffer, static_cast<size_t>(n));
            out.closeNotify = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
    return out;
}

TlsServer::TlsServer(std::string reply, int connections, bool closeNotify, bool holdOpen)
    : reply_(std::move(reply)),
      connections_(connections),
      closeNotify_(closeNotify),
      holdOpen_(holdOpen) {
    // OpenSSL writes with write(): a client that went away must not end the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    makeSelfSigned(certificatePem_, keyPem_);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr)
        throw std::runtime_error("OpenSSL could not make a server context");
    context_ = context;
    BIO* c = BIO_new_mem_buf(certificatePem_.data(), static_cast<int>(certificatePem_.size()));
    BIO* k = BIO_new_mem_buf(keyPem_.data(), static_cast<int>(keyPem_.size()));
    X509* cert = PEM_read_bio_X509(c, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(k, nullptr, nullptr, nullptr);
    BIO_free(c);
    BIO_free(k);
    bool ok = cert != nullptr && key != nullptr && SSL_CTX_use_certificate(context, cert) == 1 &&
              SSL_CTX_use_PrivateKey(context, key) == 1;
    if (cert != nullptr) {
        int length = i2d_X509(cert, nullptr);
        certificate_.resize(static_cast<size_t>(length > 0 ? length : 0));
        unsigned char* at = certificate_.data();
        i2d_X509(cert, &at);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ok = ok && listenFd_ >= 0 &&
         ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(listenFd_, 8) == 0 &&
         ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (!ok) {
        if (listenFd_ >= 0)
            ::close(listenFd_);
        SSL_CTX_free(context);
        throw std::runtime_error("the TLS test server could not start");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

TlsServer::~TlsServer() {
    stopping_ = true;
    thread_.join();
    ::close(listenFd_);
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

std::string TlsServer::received() const {
    return received_;
}

bool TlsServer::waitServed() {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done_ && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done_;
}

// Blocking sockets with a receive time-out, so that a client that stops cannot hold the thread.
void TlsServer::run() {
    for (int served = 0; served < connections_ && !stopping_;) {
        pollfd p = {listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++served;
        timeval tv = {5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
            serverNames_.push_back(name != nullptr ? name : "");
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                int n = SSL_read(ssl, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(n));
            }
            received_ += request;
            size_t at = 0;
            // Held open, the reply goes in small records, so that a reader's stop inside one
            // leaves decrypted bytes in its session with nothing more on the socket.
            const size_t record = holdOpen_ ? 1000 : reply_.size();
            while (at < reply_.size()) {
                int n = SSL_write(ssl, reply_.data() + at,
                                  static_cast<int>(std::min(record, reply_.size() - at)));
                if (n <= 0)
                    break;
                at += static_cast<size_t>(n);
            }
            while (holdOpen_ && SSL_read(ssl, buffer, sizeof buffer) > 0) {
            }
            if (closeNotify_)
                SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ::close(fd);
    }
    done_ = true;
}

}  // namespace krztest
