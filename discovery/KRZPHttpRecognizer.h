// A recognizer looks at one device's reply to the HTTP probe of "/" and, when it knows the model,
// builds the configurator for it.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <string>

class KRZPAP_API KRZPHttpRecognizer {
  public:
    KRZPHttpRecognizer();
    KRZPHttpRecognizer(const KRZPHttpRecognizer& other);
    KRZPHttpRecognizer& operator=(const KRZPHttpRecognizer& other);
    virtual ~KRZPHttpRecognizer();

    // The new configurator when the recognizer claims the reply, null otherwise.
    virtual boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address,
                                                            const std::string& headers,
                                                            const std::string& body,
                                                            const KRZMacAddress& mac) = 0;

    // Fetches `path` from the device (port 80, waiting) and returns the 32 lower-case hexadecimal
    // digits of the MD5 digest of the reply's body when the header text contains "200 "; empty
    // text otherwise. Transport errors are thrown.
    //
    // For module authors: the digest covers the body only, exactly as getResponseBody() gives it
    // (after removing chunked coding; no header bytes, so a Date or cookie header does not change
    // it). To compute the expected value for a model, hash the page's body bytes as served.
    static std::string urlHash(const in_addr& address, const std::string& path);
};
