#include "discovery/KRZPHttpRecognizer.h"

#include "core/KRZPAPModule.h"
#include "http/KRZPAPComm.h"
#include "krzutil/KRZBuf.h"
#include "krzutil/KRZCryptoUtil.h"
#include "platform/krzplatform.h"

#include <memory>

KRZPHttpRecognizer::KRZPHttpRecognizer() {}

KRZPHttpRecognizer::KRZPHttpRecognizer(const KRZPHttpRecognizer& other) = default;
KRZPHttpRecognizer& KRZPHttpRecognizer::operator=(const KRZPHttpRecognizer& other) = default;

KRZPHttpRecognizer::~KRZPHttpRecognizer() {}

std::string KRZPHttpRecognizer::urlHash(const in_addr& address, const std::string& path) {
    std::string result;
    std::unique_ptr<KRZPAPComm> comm(new KRZPAPComm(address));
    comm->openConnection(80, false);
    comm->writeGetRequest(path);
    comm->readResponseSynchronous();
    if (comm->getResponseHeaders().find("200 ") != std::string::npos) {
        result = KRZCryptoUtil::MD5(KRZBuf(comm->getResponseBody())).toUtf8HexString();
        KRZPAPModule::log(L"Got hash %hs\n", result.c_str());
    }
    return result;
}
