// A response body from an untrusted service, read the way the client reads
// it: every input must end in exactly one outcome, and never in a crash.
#include "documentguard.h"
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
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));

    int outcomes = 0;
    auto *call = new MaiaObject; // deletes itself after its outcome
    QObject::connect(call, &MaiaObject::aresponse, [&](QVariant &result, QNetworkReply *) {
        ++outcomes;
        // Reading the result through must not fault either.
        MaiaObject::composeResponse(result);
    });
    QObject::connect(call, &MaiaObject::fault, [&](int, const QString &, QNetworkReply *) { ++outcomes; });
    call->parseResponse(DocumentGuard::decodeUpToNul(body), nullptr);
    if (outcomes != 1) {
        std::fprintf(stderr, "%d outcomes for one response\n", outcomes);
        std::abort();
    }
    return 0;
}
