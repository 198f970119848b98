#ifndef DOMREADING_H
#define DOMREADING_H

#include "documentreader.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

// Calls and responses read as the library read them before DocumentReader:
// the bytes up to the first NUL decoded as UTF-8, the guard, the whole DOM
// tree, then MaiaObject::fromXml on the elements the old code picked.
DocumentReader::Response domReadResponse(const QByteArray &bytes);

struct DomCall
{
    DocumentReader::Outcome outcome = DocumentReader::NotWellFormed;
    QString error;
    QString methodName;
    QVariantList arguments;
};
DomCall domReadCall(const QByteArray &bytes);

// A value with every type spelt out (null texts, double bits, map keys), so
// that equal descriptions mean equal values.
QString describeValue(const QVariant &value);
// The bytes with everything but printable ASCII escaped.
QString printable(const QByteArray &bytes);

enum Reading { AsResponse = 1, AsCall = 2, BothReadings = 3 };
// The document and both readings of it where DocumentReader and the DOM
// differ; empty when they agree.
QString readingDifference(const QByteArray &bytes, int readings = BothReadings);

#endif
