#include "lab/devices/TlsFront.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>

#include "testsupport/krztlsserver.h"

namespace krzlab {

namespace {

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies both ways until both sides are done: what the client sends goes to the device, what
// the device answers goes back encrypted, its close as close_notify. A client's close_notify only
// ends what it sends: the reply still goes back to it.
void relay(SSL* ssl, int tcpFd, int plainFd, int idleSeconds) {
    bool clientOpen = true, deviceOpen = true;
    char buffer[16384];
    while (clientOpen || deviceOpen) {
        bool clientReady = clientOpen && SSL_pending(ssl) > 0, deviceReady = false;
        if (!clientReady) {
            pollfd p[2] = {{clientOpen ? tcpFd : -1, POLLIN, 0},
                           {deviceOpen ? plainFd : -1, POLLIN, 0}};
            if (::poll(p, 2, idleSeconds * 1000) <= 0)
                return;
            clientReady = p[0].revents != 0;
            deviceReady = p[1].revents != 0;
        }
        if (clientReady) {
            int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0 && deviceOpen && !sendAll(plainFd, buffer, static_cast<size_t>(n)))
                deviceOpen = false;
            if (n <= 0) {
                clientOpen = false;
                ::shutdown(plainFd, SHUT_WR);
            }
        }
        if (deviceReady) {
            ssize_t n = ::recv(plainFd, buffer, sizeof buffer, 0);
            if (n > 0 && SSL_write(ssl, buffer, static_cast<int>(n)) <= 0)
                return;
            if (n <= 0) {
                deviceOpen = false;
                SSL_shutdown(ssl);
                ::shutdown(tcpFd, SHUT_WR);
            }
        }
    }
}

}  // namespace

void makeDeviceCertificate(std::string& certificatePem, std::string& keyPem) {
    krztest::makeSelfSigned(certificatePem, keyPem);
}

TlsIdentity::TlsIdentity(const std::string& certificatePem, const std::string& keyPem)
    : certificatePem_(certificatePem) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr)
        throw std::runtime_error("OpenSSL could not make a server context");
    BIO* c = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
    BIO* k = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    X509* cert = PEM_read_bio_X509(c, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(k, nullptr, nullptr, nullptr);
    bool ok = cert != nullptr && key != nullptr && SSL_CTX_use_certificate(context, cert) == 1 &&
              SSL_CTX_use_PrivateKey(context, key) == 1 && SSL_CTX_check_private_key(context) == 1;
    BIO_free(c);
    BIO_free(k);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        SSL_CTX_free(context);
        throw std::runtime_error("the device's certificate or key is not usable");
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    context_ = context;
}

TlsIdentity::~TlsIdentity() {
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void TlsIdentity::serve(int fd, const std::function<void(int)>& handOff, int idleSeconds) const {
    // OpenSSL writes with write(): a client gone must not end the process with SIGPIPE. Blocked
    // on this thread only, which ends with the connection.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    timeval tv{idleSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    int pair[2];
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        SSL_free(ssl);
        return;
    }
    handOff(pair[1]);
    relay(ssl, fd, pair[0], idleSeconds);
    ::close(pair[0]);
    SSL_free(ssl);
}

}  // namespace krzlab
