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
    const uint length = header.contentLength();
    // Only GET and POST may pass, and a length is only read from its exact field.
    if (valid && method != QLatin1String("GET") && method != QLatin1String("POST")) {
        std::fprintf(stderr, "valid header with method %s\n", qPrintable(method));
        std::abort();
    }
    if (length > 0 && !QByteArray(reinterpret_cast<const char *>(data), int(size)).contains("Content-Length:")) {
        std::fprintf(stderr, "length %u without a Content-Length field\n", length);
        std::abort();
    }
    return 0;
}
