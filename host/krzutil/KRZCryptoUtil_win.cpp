// MD5 from the Windows crypto API (CNG, Windows Vista and later).
#include "krzutil/KRZCryptoUtil.h"

#include <windows.h>

#include <bcrypt.h>

KRZBuf KRZCryptoUtil::MD5(const KRZBuf& buffer) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
        return KRZBuf();
    }
    unsigned char digest[16];
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
              BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(buffer.data()),
                                            static_cast<ULONG>(buffer.size()), 0)) &&
              BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok ? KRZBuf(digest, sizeof digest) : KRZBuf();
}
