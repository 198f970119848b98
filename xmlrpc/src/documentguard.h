#ifndef DOCUMENTGUARD_H
#define DOCUMENTGUARD_H

#include <QString>

// Looks at a document before the DOM parser does: Qt's parser recurses per
// nesting level (and crashes some thousands of levels down), and XML-RPC
// has no use for a document type declaration, so both are refused early.
class DocumentGuard
{
public:
    static constexpr int maxDepth = 512;
    // The largest body either side reads: a call or a response.
    static constexpr qint64 maxDocumentBytes = 64 * 1024 * 1024;

    // Received bytes as text: UTF-8 up to the first NUL byte, which ends it.
    static QString decodeUpToNul(QByteArray bytes);
    // Why the document is refused, or an empty text when it may be parsed.
    static QString refusal(const QString &document);
};

#endif
