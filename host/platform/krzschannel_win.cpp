#include "platform/krzschannel_win.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace krzschannel {

namespace {

// The largest TLS record on the wire: 2^14 bytes of data plus the most a cipher may add, and the
// five-byte header. A device that announces more is refused before its bytes are buffered.
constexpr size_t kRecordHeader = 5;
constexpr size_t kMaxRecord = kRecordHeader + 16384 + 2048;
// The content type of an alert record, whose decryption gives no data.
constexpr unsigned char kAlertRecord = 21;

// Cipher change, alert, handshake and application data: what a TLS record starts with.
bool isRecordType(unsigned char type) {
    return type >= 20 && type <= 23;
}

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

std::string hex(SECURITY_STATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// What a failed Schannel call most likely means, in the device's terms.
std::string meaning(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_ILLEGAL_MESSAGE:
        case SEC_E_DECRYPT_FAILURE:
        case SEC_E_MESSAGE_ALTERED:
            return "the device sent something that is not valid TLS";
        case SEC_E_ALGORITHM_MISMATCH:
        case SEC_E_UNSUPPORTED_FUNCTION:
            return "the device and this system share no TLS version or cipher";
        case SEC_E_INVALID_TOKEN:
            return "the device's TLS message could not be read";
        case SEC_E_INTERNAL_ERROR:
            return "the device ended the handshake with an alert, or sent what TLS does not allow";
        default:
            return "TLS failed";
    }
}

// The alert that starts `bytes` when they hold a plaintext one (as during a handshake), named.
std::string alertIn(const std::vector<char>& bytes) {
    if (bytes.size() < kRecordHeader + 2 || static_cast<unsigned char>(bytes[0]) != kAlertRecord) {
        return std::string();
    }
    const unsigned code = static_cast<unsigned char>(bytes[kRecordHeader + 1]);
    const char* name = code == 40   ? "handshake_failure"
                       : code == 70 ? "protocol_version"
                       : code == 80 ? "internal_error"
                                    : "";
    return std::to_string(code) + (*name != 0 ? std::string(" (") + name + ")" : std::string());
}

}  // namespace

// The name Schannel sends as SNI; none for an address, where SNI may not carry one.
SEC_WCHAR* Session::targetName() {
    return target.empty() ? nullptr : &target[0];
}

Session::Session(SOCKET socket, const std::string& serverName) : connection(socket) {
    in_addr v4;
    in6_addr v6;
    const bool literal = inet_pton(AF_INET, serverName.c_str(), &v4) == 1 ||
                         inet_pton(AF_INET6, serverName.c_str(), &v6) == 1;
    if (!literal) {
        target.assign(serverName.begin(), serverName.end());
    }
}

Session::~Session() {
    close();
}

Status Session::fail(const std::string& sentence) {
    failure = sentence;
    ended = true;
    return Status::Failed;
}

Status Session::fail(const char* what, SECURITY_STATUS status) {
    return fail(meaning(status) + " (" + what + ": Schannel " + hex(status) + ")");
}

void Session::queueToken(SecBuffer& token) {
    if (token.pvBuffer != nullptr) {
        const char* bytes = static_cast<const char*>(token.pvBuffer);
        pending.insert(pending.end(), bytes, bytes + token.cbBuffer);
        FreeContextBuffer(token.pvBuffer);
        token.pvBuffer = nullptr;
    }
}

// Keeps the bytes Schannel did not consume (they end the input buffer) as the next input.
void Session::keepExtra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 &&
        extra.cbBuffer <= received.size()) {
        received.erase(received.begin(), received.end() - extra.cbBuffer);
    } else {
        received.clear();
    }
}

Status Session::sendPending() {
    while (pendingOffset < pending.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(pending.size() - pendingOffset, 65536));
        const int sent = send(connection, pending.data() + pendingOffset, chunk, 0);
        if (sent == SOCKET_ERROR) {
            const int code = WSAGetLastError();
            if (code == WSAEWOULDBLOCK) {
                return Status::WantWrite;
            }
            return fail("the connection to the device failed while sending (Winsock error " +
                        std::to_string(code) + ")");
        }
        pendingOffset += static_cast<size_t>(sent);
    }
    pending.clear();
    pendingOffset = 0;
    return Status::Done;
}

// Reads what the socket holds, up to one whole record beyond what is buffered. Done when bytes
// came; Closed when the peer closed the connection.
Status Session::receiveMore(const char* during) {
    if (!received.empty() && !isRecordType(static_cast<unsigned char>(received[0]))) {
        const std::string start(received.begin(),
                                received.begin() + std::min<ptrdiff_t>(received.size(), 5));
        const bool http = std::string("HTTP/").compare(0, start.size(), start) == 0;
        return fail(std::string("the device's answer is not valid TLS") +
                    (http ? " (it answered in plain HTTP)" : "") + " (" + during + ")");
    }
    if (received.size() >= kRecordHeader) {
        const auto* head = reinterpret_cast<const unsigned char*>(received.data());
        const size_t length = (size_t{head[3]} << 8) | head[4];
        if (kRecordHeader + length > kMaxRecord) {
            return fail(std::string("the device sent a TLS record of ") + std::to_string(length) +
                        " bytes, more than TLS allows (" + during + ")");
        }
    }
    const size_t old = received.size();
    const size_t room = kMaxRecord - std::min(old, kMaxRecord);
    if (room == 0) {
        return fail(std::string("the device sent more than one TLS record holds (") + during + ")");
    }
    received.resize(old + room);
    const int got = recv(connection, received.data() + old, static_cast<int>(room), 0);
    if (got == SOCKET_ERROR) {
        received.resize(old);
        const int code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) {
            return Status::WantRead;
        }
        return fail(std::string("the connection to the device failed (") + during +
                    ", Winsock error " + std::to_string(code) + ")");
    }
    received.resize(old + static_cast<size_t>(got));
    return got == 0 ? Status::Closed : Status::Done;
}

Status Session::handshake() {
    if (ended) {
        return failure.empty() ? Status::Closed : Status::Failed;
    }
    if (!haveCredentials) {
        SCHANNEL_CRED wanted{};
        wanted.dwVersion = SCHANNEL_CRED_VERSION;
        wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        // Trust is the pinned fingerprint: the system neither checks names nor asks for a chain,
        // and never offers a client certificate of its own.
        wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_SERVERNAME_CHECK |
                         SCH_CRED_NO_DEFAULT_CREDS;
        TimeStamp expiry;
        const SECURITY_STATUS status = AcquireCredentialsHandleW(
            nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &wanted,
            nullptr, nullptr, &credentials, &expiry);
        if (status != SEC_E_OK) {
            return fail("the system's TLS could not start", status);
        }
        haveCredentials = true;
    }
    for (;;) {
        Status sent = sendPending();
        if (sent != Status::Done) {
            return sent;
        }
        if (established) {
            return Status::Done;
        }
        if (haveContext && received.empty()) {
            const Status got = receiveMore("during the TLS handshake");
            if (got == Status::Closed) {
                return fail("the device closed the connection during the TLS handshake");
            }
            if (got != Status::Done) {
                return got;
            }
        }
        SecBuffer input[2] = {
            {static_cast<unsigned long>(received.size()), SECBUFFER_TOKEN, received.data()},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputs{SECBUFFER_VERSION, 2, input};
        SecBuffer output[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc outputs{SECBUFFER_VERSION, 2, output};
        ULONG attributes = 0;
        TimeStamp expiry;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &credentials, haveContext ? &context : nullptr, targetName(), kContextFlags, 0, 0,
            haveContext ? &inputs : nullptr, 0, haveContext ? nullptr : &context, &outputs,
            &attributes, &expiry);
        const bool first = !haveContext;
        haveContext = haveContext || status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                      status == SEC_I_INCOMPLETE_CREDENTIALS;
        if (output[1].pvBuffer != nullptr) {
            FreeContextBuffer(output[1].pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            queueToken(output[0]);
            const Status got = receiveMore("during the TLS handshake");
            if (got == Status::Closed) {
                return fail("the device closed the connection during the TLS handshake");
            }
            if (got != Status::Done) {
                return got;
            }
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The device asked for a client certificate: go on without one.
            queueToken(output[0]);
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            // The alert Schannel made for the device goes out if the socket takes it at once.
            queueToken(output[0]);
            sendPending();
            const std::string alert = alertIn(received);
            if (!alert.empty()) {
                return fail("the device refused the TLS handshake with the alert " + alert);
            }
            return fail(first ? "starting the TLS handshake" : "during the TLS handshake", status);
        }
        queueToken(output[0]);
        if (first) {
            continue;
        }
        keepExtra(input[1]);
        if (status == SEC_E_OK) {
            const SECURITY_STATUS sized =
                QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
            if (sized != SEC_E_OK) {
                return fail("after the TLS handshake", sized);
            }
            established = true;
            keepCertificate();
        }
    }
}

// Decrypts the first record buffered; Done with its data in `plain` (which may be empty, for a
// record that carries none), WantRead when the record is not whole yet.
Status Session::decryptRecord() {
    const bool alert = !received.empty() && static_cast<unsigned char>(received[0]) == kAlertRecord;
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(received.size()), SECBUFFER_DATA, received.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        return Status::WantRead;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) {
        ended = true;
        return Status::Closed;
    }
    if (status == SEC_I_RENEGOTIATE) {
        return fail("the device asked to renegotiate TLS, which this connection does not do");
    }
    if (status != SEC_E_OK) {
        return fail("reading from the device", status);
    }
    plain.clear();
    plainOffset = 0;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.pvBuffer != nullptr) {
            const char* bytes = static_cast<const char*>(buffer.pvBuffer);
            plain.assign(bytes, bytes + buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            extra = &buffer;
        }
    }
    // The data lies inside `received`; it was copied out before the buffer shrinks.
    if (extra != nullptr) {
        keepExtra(*extra);
    } else {
        received.clear();
    }
    if (alert && plain.empty()) {
        // Some Schannels report the peer's close_notify as an empty record.
        ended = true;
        return Status::Closed;
    }
    return Status::Done;
}

Status Session::read(void* data, size_t size, size_t* moved) {
    *moved = 0;
    if (ended) {
        return failure.empty() ? Status::Closed : Status::Failed;
    }
    if (!established) {
        return fail("read before the TLS handshake completed");
    }
    for (;;) {
        if (plainOffset < plain.size()) {
            const size_t count = std::min(size, plain.size() - plainOffset);
            std::memcpy(data, plain.data() + plainOffset, count);
            plainOffset += count;
            *moved = count;
            return Status::Done;
        }
        if (ended) {
            return failure.empty() ? Status::Closed : Status::Failed;
        }
        // Bytes write() left behind go out first: the device may wait for them.
        const Status sent = sendPending();
        if (sent != Status::Done) {
            return sent;
        }
        Status decrypted = received.empty() ? Status::WantRead : decryptRecord();
        if (decrypted == Status::Done) {
            continue;
        }
        if (decrypted != Status::WantRead) {
            return decrypted;
        }
        const Status got = receiveMore("while reading from the device");
        if (got == Status::Closed) {
            ended = true;
            if (!received.empty()) {
                return fail("the device closed the connection in the middle of a TLS record");
            }
            return Status::Closed;
        }
        if (got != Status::Done) {
            return got;
        }
    }
}

Status Session::write(const void* data, size_t size, size_t* moved) {
    *moved = 0;
    if (ended) {
        return failure.empty() ? Status::Closed : Status::Failed;
    }
    if (!established) {
        return fail("write before the TLS handshake completed");
    }
    const Status sent = sendPending();
    if (sent != Status::Done) {
        return sent;
    }
    const size_t count = std::min<size_t>(size, sizes.cbMaximumMessage);
    std::vector<char> record(sizes.cbHeader + count + sizes.cbTrailer);
    std::memcpy(record.data() + sizes.cbHeader, data, count);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(count), SECBUFFER_DATA, record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + count},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context, 0, &description, 0);
    if (status != SEC_E_OK) {
        return fail("writing to the device", status);
    }
    // The record is header, data and trailer back to back; the trailer may be shorter than
    // the room it was given.
    record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    pending = std::move(record);
    pendingOffset = 0;
    *moved = count;
    const Status flushed = sendPending();
    return flushed == Status::Failed ? flushed : Status::Done;
}

Status Session::flush() {
    if (!failure.empty()) {
        return Status::Failed;
    }
    return sendPending();
}

void Session::close() {
    if (haveContext) {
        if (established && !ended && pending.empty()) {
            DWORD kind = SCHANNEL_SHUTDOWN;
            SecBuffer token{sizeof kind, SECBUFFER_TOKEN, &kind};
            SecBufferDesc tokens{SECBUFFER_VERSION, 1, &token};
            if (ApplyControlToken(&context, &tokens) == SEC_E_OK) {
                SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
                SecBufferDesc outputs{SECBUFFER_VERSION, 1, &output};
                ULONG attributes = 0;
                TimeStamp expiry;
                InitializeSecurityContextW(&credentials, &context, targetName(), kContextFlags, 0,
                                           0, nullptr, 0, nullptr, &outputs, &attributes, &expiry);
                queueToken(output);
                sendPending();
            }
        }
        DeleteSecurityContext(&context);
        haveContext = false;
    }
    if (haveCredentials) {
        FreeCredentialsHandle(&credentials);
        haveCredentials = false;
    }
    ended = true;
    established = false;
}

void Session::keepCertificate() {
    PCCERT_CONTEXT peer = nullptr;
    if (QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) == SEC_E_OK &&
        peer != nullptr) {
        certificate.assign(peer->pbCertEncoded, peer->pbCertEncoded + peer->cbCertEncoded);
        CertFreeCertificateContext(peer);
    }
}

std::string Session::protocol() const {
    return established || !certificate.empty() ? "TLSv1.2" : std::string();
}

size_t Session::held() const {
    if (plainOffset < plain.size()) {
        return plain.size() - plainOffset;
    }
    if (received.size() < kRecordHeader || ended) {
        return 0;
    }
    const auto* head = reinterpret_cast<const unsigned char*>(received.data());
    const size_t length = (size_t{head[3]} << 8) | head[4];
    return received.size() >= kRecordHeader + length ? 1 : 0;
}

}  // namespace krzschannel
