// A response body from an untrusted service, read the way the client reads
// it: every input must end in exactly one outcome, and never in a crash.
#include "documentguard.h"
#include "documentreader.h"
#include "documentwriter.h"

#include <QByteArray>
#include <QDomDocument>
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

// The deepest element's level, walked without recursion.
static int elementDepth(const QDomDocument &document)
{
    const QDomElement root = document.documentElement();
    int depth = 1;
    int deepest = 0;
    for (QDomElement element = root; !element.isNull();) {
        deepest = qMax(deepest, depth);
        const QDomElement child = element.firstChildElement();
        if (!child.isNull()) {
            element = child;
            ++depth;
            continue;
        }
        while (element != root && element.nextSiblingElement().isNull()) {
            element = element.parentNode().toElement();
            --depth;
        }
        element = element == root ? QDomElement() : element.nextSiblingElement();
    }
    return deepest;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const QString text = DocumentGuard::decodeUpToNul(body);

    // What the guard lets through must not be deeper than its limit. A failed
    // parse counts too: the parser recursed as deep as the tree it left.
    if (DocumentGuard::refusal(text).isEmpty()) {
        QDomDocument document;
        document.setContent(text);
        const int depth = elementDepth(document);
        if (depth > DocumentGuard::maxDepth) {
            std::fprintf(stderr, "the guard let %d levels through\n", depth);
            std::abort();
        }
    }

    const DocumentReader::Response response = DocumentReader::readResponse(body);
    if (response.outcome == DocumentReader::Read && !response.isFault)
        DocumentWriter::response(response.result); // what was read must write again
    else
        response.fault();
    return 0;
}
