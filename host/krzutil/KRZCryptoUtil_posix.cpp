#include "krzutil/KRZCryptoUtil.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>

namespace {

const EVP_MD* algorithm(KRZCryptoUtil::Digest digest) {
    switch (digest) {
        case KRZCryptoUtil::Digest::MD5:
            return EVP_md5();
        case KRZCryptoUtil::Digest::SHA1:
            return EVP_sha1();
        case KRZCryptoUtil::Digest::SHA256:
            break;
    }
    return EVP_sha256();
}

}  // namespace

KRZBuf KRZCryptoUtil::MD5(const KRZBuf& buffer) {
    return hash(Digest::MD5, buffer);
}

KRZBuf KRZCryptoUtil::hash(Digest digest, const KRZBuf& buffer) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(buffer.data(), buffer.size(), out, &length, algorithm(digest), nullptr) != 1) {
        return KRZBuf();
    }
    return KRZBuf(out, length);
}

KRZBuf KRZCryptoUtil::hmac(Digest digest, const KRZBuf& key, const KRZBuf& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (key.size() > INT_MAX || HMAC(algorithm(digest), key.data(), static_cast<int>(key.size()),
                                     data.data(), data.size(), out, &length) == nullptr) {
        return KRZBuf();
    }
    return KRZBuf(out, length);
}

KRZBuf KRZCryptoUtil::pbkdf2Sha256(const KRZBuf& password, const KRZBuf& salt, unsigned iterations,
                                   size_t length) {
    if (iterations == 0 || iterations > INT_MAX || length == 0 || length > INT_MAX ||
        password.size() > INT_MAX || salt.size() > INT_MAX) {
        return KRZBuf();
    }
    KRZBuf out(length);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()),
                          static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(length), out.data()) != 1) {
        return KRZBuf();
    }
    return out;
}
