// Digests, HMACs and PBKDF2 from the Windows crypto API (CNG, Windows 7 and later).
#include "krzutil/KRZCryptoUtil.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>

namespace {

LPCWSTR algorithmName(KRZCryptoUtil::Digest digest) {
    switch (digest) {
        case KRZCryptoUtil::Digest::MD5:
            return BCRYPT_MD5_ALGORITHM;
        case KRZCryptoUtil::Digest::SHA1:
            return BCRYPT_SHA1_ALGORITHM;
        case KRZCryptoUtil::Digest::SHA256:
            break;
    }
    return BCRYPT_SHA256_ALGORITHM;
}

ULONG digestSize(KRZCryptoUtil::Digest digest) {
    switch (digest) {
        case KRZCryptoUtil::Digest::MD5:
            return 16;
        case KRZCryptoUtil::Digest::SHA1:
            return 20;
        case KRZCryptoUtil::Digest::SHA256:
            break;
    }
    return 32;
}

// An algorithm provider, closed when it goes out of scope.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Provider(KRZCryptoUtil::Digest digest, ULONG flags) {
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&handle, algorithmName(digest), nullptr, flags))) {
            handle = nullptr;
        }
    }
    ~Provider() {
        if (handle != nullptr) {
            BCryptCloseAlgorithmProvider(handle, 0);
        }
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
};

// The digest (an HMAC when `key` is given) of `data`.
KRZBuf digestOf(KRZCryptoUtil::Digest digest, const KRZBuf* key, const KRZBuf& data) {
    if (data.size() > ULONG_MAX || (key != nullptr && key->size() > ULONG_MAX)) {
        return KRZBuf();
    }
    Provider provider(digest, key != nullptr ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
    if (provider.handle == nullptr) {
        return KRZBuf();
    }
    KRZBuf out(digestSize(digest));
    BCRYPT_HASH_HANDLE hash = nullptr;
    PUCHAR secret = key != nullptr ? const_cast<PUCHAR>(key->data()) : nullptr;
    ULONG secretSize = key != nullptr ? static_cast<ULONG>(key->size()) : 0;
    bool ok = BCRYPT_SUCCESS(
                  BCryptCreateHash(provider.handle, &hash, nullptr, 0, secret, secretSize, 0)) &&
              BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(data.data()),
                                            static_cast<ULONG>(data.size()), 0)) &&
              BCRYPT_SUCCESS(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    return ok ? out : KRZBuf();
}

}  // namespace

KRZBuf KRZCryptoUtil::MD5(const KRZBuf& buffer) {
    return hash(Digest::MD5, buffer);
}

KRZBuf KRZCryptoUtil::hash(Digest digest, const KRZBuf& buffer) {
    return digestOf(digest, nullptr, buffer);
}

KRZBuf KRZCryptoUtil::hmac(Digest digest, const KRZBuf& key, const KRZBuf& data) {
    return digestOf(digest, &key, data);
}

KRZBuf KRZCryptoUtil::pbkdf2Sha256(const KRZBuf& password, const KRZBuf& salt, unsigned iterations,
                                   size_t length) {
    if (iterations == 0 || length == 0 || length > ULONG_MAX || password.size() > ULONG_MAX ||
        salt.size() > ULONG_MAX) {
        return KRZBuf();
    }
    Provider provider(Digest::SHA256, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (provider.handle == nullptr) {
        return KRZBuf();
    }
    KRZBuf out(length);
    if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(provider.handle, const_cast<PUCHAR>(password.data()),
                                              static_cast<ULONG>(password.size()),
                                              const_cast<PUCHAR>(salt.data()),
                                              static_cast<ULONG>(salt.size()), iterations,
                                              out.data(), static_cast<ULONG>(length), 0))) {
        return KRZBuf();
    }
    return out;
}
