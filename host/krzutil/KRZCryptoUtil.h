#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZBuf.h"

#include <cstddef>

// Digests, HMACs and PBKDF2 from the system's well-kept crypto library (OpenSSL on Linux, CNG on
// Windows), so that both give the same answers. A failure in the library gives an empty buffer.
class KRZUTIL_API KRZCryptoUtil {
  public:
    enum class Digest { MD5, SHA1, SHA256 };

    // The 16-byte MD5 digest (RFC 1321) of the buffer.
    static KRZBuf MD5(const KRZBuf& buffer);
    static KRZBuf hash(Digest digest, const KRZBuf& buffer);
    // HMAC (RFC 2104) of `data` under `key`.
    static KRZBuf hmac(Digest digest, const KRZBuf& key, const KRZBuf& data);
    // PBKDF2 with HMAC-SHA256 (RFC 8018): `length` bytes; empty when iterations is 0.
    static KRZBuf pbkdf2Sha256(const KRZBuf& password, const KRZBuf& salt, unsigned iterations,
                               size_t length);
};
