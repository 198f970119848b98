// Any input must read alike streamed by DocumentReader and through the DOM
// as the library read it before, both as a response and as a call.
#include "../autotests/support/domreading.h"

#include <cstdio>
#include <cstdlib>

static void silence(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(silence); // unknown types are reported per value
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString difference = readingDifference(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    if (!difference.isEmpty()) {
        std::fprintf(stderr, "read differently\n%s\n", qPrintable(difference));
        std::abort();
    }
    return 0;
}
