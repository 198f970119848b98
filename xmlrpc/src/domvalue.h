#ifndef DOMVALUE_H
#define DOMVALUE_H

#include <QDomElement>
#include <QVariant>

// A "value" element read through the DOM, for documents the streaming
// reader hands over: anything but the plain form peers write.
namespace DomValue {
QVariant read(const QDomElement &value);
}

#endif
