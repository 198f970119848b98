#ifndef VALUETREE_H
#define VALUETREE_H

#include <QByteArray>
#include <QString>
#include <QVariant>

// Reads arbitrary bytes as a tree of every type the documents carry, plus
// types they leave out, with texts full of what XML escapes or forbids. The
// same bytes always give the same tree; bytes past the end read as zeros.
// Texts never hold a valid surrogate pair: there the writer keeps what QDom
// drops. When `method` is given, a method name is read first.
QVariant valueTreeFromBytes(const QByteArray &bytes, QString *method = nullptr);

#endif
