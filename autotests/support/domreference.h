#ifndef DOMREFERENCE_H
#define DOMREFERENCE_H

#include <QString>
#include <QVariant>

// The three documents as the library first composed them: a QDom tree built
// as MaiaObject::toXml built it then, written by QDomDocument::toString(1),
// with the characters XML forbids dropped by QDom's process-wide policy.
// It shares no code with DocumentWriter, which toXml now draws on.
QString domCall(const QString &method, const QVariantList &args);
QString domResponse(const QVariant &result);
QString domFault(const QVariantMap &faultStruct);

// Where DocumentWriter's call, response or fault (in UTF-8), or
// MaiaObject::toXml's element, first differs from the reference's, with both
// texts around that place; empty when all are equal. A list is the call's
// arguments, any other value its single argument; the method name is also
// the fault's message, and an int value its code.
enum Compared { Call = 1, Response = 2, Fault = 4, ToXml = 8, AllCompared = 15 };
QString writerDifference(const QString &method, const QVariant &value, int compared = AllCompared);

#endif
