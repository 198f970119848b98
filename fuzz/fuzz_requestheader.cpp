// A request header block as a peer may send it.
#include "qhttprequestheader.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QHttpRequestHeader header(QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)));
    const bool valid = header.isValid();
    const QString method = header.method();
    const qint64 length = header.contentLength();
    // A valid header has a method, and a length is only read from its field, named in any case.
    if (valid && method.isEmpty()) {
        std::fprintf(stderr, "valid header without a method\n");
        std::abort();
    }
    if (length < 0
        || (length > 0
            && !QByteArray(reinterpret_cast<const char *>(data), int(size)).toLower().contains("content-length:"))) {
        std::fprintf(stderr, "length %lld without a Content-Length field\n", length);
        std::abort();
    }
    return 0;
}
