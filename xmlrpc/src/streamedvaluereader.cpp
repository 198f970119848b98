#include "streamedvaluereader.h"

#include "scalarvalue.h"

StreamedValueReader::StreamedValueReader(const QByteArray &bytes)
    : scanner(bytes)
{
}

StreamedValueReader::Token StreamedValueReader::take()
{
    if (failed)
        return Token();
    Token token = scanner.next();
    failed = token.kind == Token::Unusual;
    return token;
}

void StreamedValueReader::skipRest()
{
    for (Token token = take(); !failed && token.kind != Token::End; token = take()) {
        if (token.kind == Token::Start)
            skip(token);
    }
}

void StreamedValueReader::skip(const Token &start)
{
    if (!start.empty)
        skipRest();
}

bool StreamedValueReader::drainedToEnd()
{
    while (!failed && take().kind != Token::Eof) {
    }
    return !failed;
}

QString StreamedValueReader::textOf(const Token &start)
{
    const QString empty = QLatin1String(""); // an element's text is never null
    if (start.empty)
        return empty;
    Token token = take();
    if (token.kind == Token::End)
        return empty;
    failed = failed || token.kind != Token::Text || take().kind != Token::End;
    return token.text();
}

QVariant StreamedValueReader::firstChildValue(const Token &start)
{
    if (start.empty)
        return QVariant();
    const Token first = take();
    if (first.kind == Token::End)
        return QVariant();
    const QVariant result = first.kind == Token::Start ? value(first) : QVariant();
    skipRest();
    return result;
}

QVariant StreamedValueReader::value(const Token &start)
{
    if (QString(start.name).toLower() != QLatin1String("value")) {
        skip(start);
        return QVariant();
    }
    if (start.empty)
        return QString(QLatin1String(""));
    const Token first = take();
    if (first.kind == Token::Text)
        return textAfter(first);
    if (first.kind != Token::Start)
        return QString(QLatin1String(""));
    const QVariant result = typed(first);
    skipRest(); // only the first child counts
    return result;
}

// An untyped value: its text, when nothing follows it.
QVariant StreamedValueReader::textAfter(const Token &text)
{
    failed = failed || take().kind != Token::End;
    return text.text();
}

QVariant StreamedValueReader::typed(const Token &start)
{
    const QString type = QString(start.name).toLower();
    if (type == QLatin1String("nil")) {
        skip(start);
        return QVariant();
    }
    if (type == QLatin1String("array"))
        return array(start);
    if (type == QLatin1String("struct"))
        return structure(start);
    if (type == QLatin1String("base64"))
        return base64(start);
    if (ScalarValue::isScalar(type)) {
        const QString text = textOf(start);
        QVariant scalar;
        if (!failed)
            ScalarValue::read(type, text, &scalar, &invalid);
        return scalar;
    }
    unknownTypes << type;
    skip(start);
    return QVariant();
}

// Decoded from the bytes themselves when they are plain: no text copy.
QVariant StreamedValueReader::base64(const Token &start)
{
    const QByteArray none = QByteArray::fromBase64(QByteArray());
    if (start.empty)
        return none;
    const Token token = take();
    if (token.kind == Token::End)
        return none;
    failed = failed || token.kind != Token::Text || take().kind != Token::End;
    if (failed)
        return QVariant();
    return QByteArray::fromBase64(token.plain ? QByteArray::fromRawData(token.raw, token.size)
                                              : token.decoded.toLatin1());
}

QVariant StreamedValueReader::array(const Token &start)
{
    QVariantList list;
    if (start.empty)
        return list;
    const Token data = take();
    if (data.kind == Token::End)
        return list;
    if (data.kind == Token::Start && !data.empty) {
        for (Token item = take(); !failed && item.kind != Token::End; item = take())
            list.append(item.kind == Token::Start ? value(item) : QVariant());
    }
    skipRest(); // a text in place of the data holds no items
    return list;
}

QVariant StreamedValueReader::structure(const Token &start)
{
    QVariantMap map;
    if (start.empty)
        return map;
    for (Token member = take(); !failed && member.kind != Token::End; member = take()) {
        if (member.kind == Token::Text) {
            map.insert(QString(), QVariant());
            continue;
        }
        // The DOM takes the first "name" and "value" below the member:
        // read here only in that order, as siblings.
        const Token name = nextElement(member);
        if (name.kind == Token::End) {
            map.insert(QString(), QVariant());
            continue;
        }
        if (name.name != QLatin1String("name")) {
            failed = true;
            break;
        }
        const QString key = textOf(name);
        const Token value = nextElement(member);
        if (value.kind == Token::End) {
            map.insert(key, QVariant());
            continue;
        }
        if (value.name != QLatin1String("value")) {
            failed = true;
            break;
        }
        map.insert(key, this->value(value));
        skipRest();
    }
    return map;
}

// The next element in the member, or the member's end.
StreamedValueReader::Token StreamedValueReader::nextElement(const Token &member)
{
    if (member.empty)
        return Token::ended();
    Token token = take();
    while (token.kind == Token::Text)
        token = take();
    return token;
}
