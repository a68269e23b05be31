#include "internal/Handles.h"
#include "crypto/Text.h"

#include <openssl/err.h>

namespace quilvane::ossl {

X509Ptr Share(X509* x) {
    if (x != nullptr && X509_up_ref(x) != 1) {
        Raise(status::Failed, Tr("Could not keep a certificate"));
    }
    return X509Ptr(x);
}

std::string MemoryText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string TakeErrors() {
    std::string reasons;
    unsigned long code = 0;
    const char* data = nullptr;
    int flags = 0;
    while ((code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
        std::string reason;
        if (const char* text = ERR_reason_error_string(code)) {
            reason = text;
        } else {
            reason = "error " + std::to_string(ERR_GET_REASON(code));
        }
        if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0') {
            reason += " (" + std::string(data) + ")";
        }
        // The same reason often repeats down the call chain; say it once.
        if (reasons.find(reason) == std::string::npos) {
            reasons += reasons.empty() ? reason : "; " + reason;
        }
    }
    return reasons;
}

void Raise(std::int32_t status, const std::string& what) {
    // The library's words go to the details, where they help whoever reads
    // them to a maintainer; the message itself says what failed.
    throw Error(status, what + ".", TakeErrors());
}

Bytes EncodeDer(CMS_ContentInfo* cms, const std::string& what) {
    const int length = i2d_CMS_ContentInfo(cms, nullptr);
    if (length <= 0) {
        Raise(status::Failed, what);
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_CMS_ContentInfo(cms, &out) != length) {
        Raise(status::Failed, what);
    }
    return der;
}

}  // namespace quilvane::ossl
