#ifndef DOMVALUE_H
#define DOMVALUE_H

#include <QDomElement>
#include <QStringList>
#include <QVariant>

// A "value" element read through the DOM, for documents the streaming
// reader hands over: anything but the plain form peers write.
namespace DomValue {
// Unknown types are added to `unknownTypes`; the first scalar whose text
// does not convert is named in `invalid`.
QVariant read(const QDomElement &value, QStringList *unknownTypes, QString *invalid);
}

#endif
