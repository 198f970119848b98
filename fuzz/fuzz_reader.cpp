// Any input must read alike on DocumentReader's two ways, as a response and
// as a call: streamed, and through the DOM, where a trailing comment sends
// any document (tst_codec's streamsAsTheDomReads, on any bytes). After a NUL
// nothing is read, the comment neither: both ways are then the streamed one.
#include "describevalue.h"
#include "documentreader.h"

#include <QDateTime>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void silence(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(silence); // unknown types are reported per value
    return 0;
}


static QString outcome(int outcome, const QString &error)
{
    // The DOM parser's own message may name where the comment stands; the other errors are ours.
    return QStringLiteral("outcome %1 %2").arg(outcome).arg(outcome == DocumentReader::NotWellFormed ? QString() : error);
}

static QString asResponse(const QByteArray &bytes)
{
    const DocumentReader::Response r = DocumentReader::readResponse(bytes);
    if (r.outcome != DocumentReader::Read)
        return outcome(r.outcome, r.error);
    return r.isFault ? QStringLiteral("fault %1 %2").arg(r.faultCode).arg(describe(r.faultString)) : describe(r.result);
}

static QString asCall(const QByteArray &bytes)
{
    const DocumentReader::Call call = DocumentReader::readCall(bytes);
    if (call.outcome != DocumentReader::Read)
        return outcome(call.outcome, call.error);
    return QLatin1String("call ") + describe(call.methodName) + ' ' + describe(call.arguments());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    for (QString (*read)(const QByteArray &) : {asResponse, asCall}) {
        const QString streamed = read(bytes), dom = read(bytes + "<!---->");
        if (streamed != dom) {
            std::fprintf(stderr, "read differently\nstreamed: %s\nDOM:      %s\n", qPrintable(streamed),
                         qPrintable(dom));
            std::abort();
        }
    }
    return 0;
}
