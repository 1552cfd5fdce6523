// Published test vectors (FIPS 180, RFC 2104, RFC 2202, RFC 4231, RFC 7914's PBKDF2-HMAC-SHA256
// and its usual companions), so that Linux and Windows give the same answers.
#include "krzutil/KRZCryptoUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Digest = KRZCryptoUtil::Digest;

KRZBuf bytes(const std::string& text) {
    return KRZBuf(text);
}

TEST(Crypto, DigestsMatchTheirPublishedVectors) {
    struct Vector {
        Digest digest;
        std::string in;
        const char* hex;
    } const vectors[] = {
        {Digest::MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {Digest::SHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {Digest::SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {Digest::SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {Digest::SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {Digest::SHA256, std::string("a\0b", 3),
         "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.hex);
        EXPECT_EQ(KRZCryptoUtil::hash(v.digest, bytes(v.in)).toUtf8HexString(), v.hex);
    }
}

TEST(Crypto, HmacsMatchTheirPublishedVectors) {
    const std::string jefe = "Jefe", question = "what do ya want for nothing?";
    struct Vector {
        Digest digest;
        std::string key, data;
        const char* hex;
    } const vectors[] = {
        {Digest::MD5, jefe, question, "750c783e6ab0b503eaa86e310a5db738"},
        {Digest::SHA1, jefe, question, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Digest::SHA256, jefe, question,
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // A key longer than the block is hashed first.
        {Digest::SHA256, std::string(131, '\xaa'),
         "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.hex);
        EXPECT_EQ(KRZCryptoUtil::hmac(v.digest, bytes(v.key), bytes(v.data)).toUtf8HexString(),
                  v.hex);
    }
}

TEST(Crypto, Pbkdf2Sha256MatchesItsPublishedVectors) {
    struct Vector {
        std::string password, salt;
        unsigned iterations;
        size_t length;
        const char* hex;
    } const vectors[] = {
        {"password", "salt", 1, 32,
         "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"password", "salt", 4096, 32,
         "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
        // Longer than one block of output, and bytes that end a C string.
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 40,
         "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16,
         "89b69d0516f829893c696226650a8687"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.hex);
        EXPECT_EQ(
            KRZCryptoUtil::pbkdf2Sha256(bytes(v.password), bytes(v.salt), v.iterations, v.length)
                .toUtf8HexString(),
            v.hex);
    }
    EXPECT_EQ(KRZCryptoUtil::pbkdf2Sha256(bytes("p"), bytes("s"), 0, 32).size(), 0u);
}

}  // namespace
