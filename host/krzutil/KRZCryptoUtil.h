#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZBuf.h"

class KRZUTIL_API KRZCryptoUtil {
  public:
    // The 16-byte MD5 digest (RFC 1321) of the buffer.
    static KRZBuf MD5(const KRZBuf& buffer);
};
