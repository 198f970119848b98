// A response body from an untrusted service, read the way the client reads
// it: every input must end in exactly one outcome, and never in a crash.
#include "maiaObject.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QtGlobal>

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
    QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const int nul = body.indexOf('\0');
    if (nul >= 0)
        body.truncate(nul);

    int outcomes = 0;
    auto *call = new MaiaObject; // deletes itself after its outcome
    QObject::connect(call, &MaiaObject::aresponse, [&](QVariant &result, QNetworkReply *) {
        ++outcomes;
        // Reading the result through must not fault either.
        MaiaObject::composeResponse(result);
    });
    QObject::connect(call, &MaiaObject::fault, [&](int, const QString &, QNetworkReply *) { ++outcomes; });
    call->parseResponse(QString::fromUtf8(body), nullptr);
    if (outcomes != 1) {
        std::fprintf(stderr, "%d outcomes for one response\n", outcomes);
        std::abort();
    }
    return 0;
}
