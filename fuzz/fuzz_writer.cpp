// DocumentWriter's documents for a value tree read from the input must
// equal, byte for byte, what QDom wrote for the same tree. Byte 0 picks
// which one is compared, to spend each run on one.
#include "domreference.h"
#include "valuetree.h"

#include <cstdio>
#include <cstdlib>

static void silence(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(silence); // left-out types are reported per value
    // QDom compiles a pattern per document written: compiling it to machine code costs more.
    qputenv("QT_ENABLE_REGEXP_JIT", "0");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    QString method;
    const QVariant tree = valueTreeFromBytes(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data) + 1, int(size - 1)), &method);
    const QString difference = writerDifference(method, tree, 1 << (data[0] % 4));
    if (!difference.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(difference));
        std::abort();
    }
    return 0;
}
