#ifndef STREAMEDVALUEREADER_H
#define STREAMEDVALUEREADER_H

#include "plainscanner.h"

#include <QStringList>
#include <QVariant>

// Reads values from the plain form's tokens as the DOM reading reads them
// from a tree. Where the tree could hold what no token sequence here answers
// for, it fails, and the DOM reads the document instead.
class StreamedValueReader
{
public:
    using Token = PlainScanner::Token;

    // The bytes must outlive the reader.
    explicit StreamedValueReader(const QByteArray &bytes);

    bool failed = false;
    QStringList unknownTypes;
    QString invalid; // the first scalar that does not convert

    Token take();
    // The rest of the element whose start was taken last.
    void skipRest();
    void skip(const Token &start);
    bool drainedToEnd();
    // The text of an element holding text only.
    QString textOf(const Token &start);
    // The first child of an element read as a value (the first param of
    // params, the value of a param), the element's end taken too.
    QVariant firstChildValue(const Token &start);
    QVariant value(const Token &start);

private:
    QVariant textAfter(const Token &text);
    QVariant typed(const Token &start);
    QVariant base64(const Token &start);
    QVariant array(const Token &start);
    QVariant structure(const Token &start);
    Token nextElement(const Token &member);

    PlainScanner scanner;
};

#endif
