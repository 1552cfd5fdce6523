#include "krzutil/KRZCryptoUtil.h"

#include <openssl/evp.h>

KRZBuf KRZCryptoUtil::MD5(const KRZBuf& buffer) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(buffer.data(), buffer.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return KRZBuf();
    }
    return KRZBuf(digest, length);
}
