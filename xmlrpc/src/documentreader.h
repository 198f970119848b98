#ifndef DOCUMENTREADER_H
#define DOCUMENTREADER_H

#include "maiaFault.h"

#include <QString>
#include <QStringList>
#include <QVariant>

// Reads call and response documents straight from their UTF-8 bytes into
// values, in one pass: a DOM tree costs twenty times a document's size.
// The plain form that peers write streams; a document using anything else
// (comments, CDATA, attributes, entities, processing instructions, an odd
// layout) goes through the DOM, so every document reads as the DOM reads it.
class DocumentReader
{
public:
    enum Outcome {
        Read,
        Refused,       // nested too deep, or with a document type: `error` says which
        NotWellFormed, // `error` and `errorLine` are the DOM parser's
        NotXmlRpc, // `error` names a value whose text does not convert, if that is why
    };

    struct Response
    {
        Outcome outcome = NotWellFormed;
        QString error;
        int errorLine = 0;
        bool isFault = false;
        QVariant result;
        int faultCode = 0;
        QString faultString;

        // What a caller is told of a response that is not a result: the
        // server's fault, or why the document could not be read.
        MaiaFault fault() const;
    };

    class Call
    {
    public:
        Outcome outcome = NotWellFormed;
        QString error;
        QString methodName;
        // The parameters; their diagnostics are written when they are asked for.
        QVariantList arguments() const;

    private:
        friend class DocumentReader;
        QVariantList streamed;
        QStringList unknownTypes;
    };

    // Bytes up to the first NUL count; the rest is ignored.
    static Response readResponse(QByteArray body);
    static Call readCall(QByteArray body);
};

#endif
