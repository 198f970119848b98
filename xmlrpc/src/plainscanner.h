#ifndef PLAINSCANNER_H
#define PLAINSCANNER_H

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QVarLengthArray>

// Splits the plain form of a document into tags and texts, checking as it
// goes what the DOM parser would check; anything else makes an Unusual token,
// and the document goes to the DOM.
class PlainScanner
{
public:
    struct Token
    {
        enum Kind { Start, End, Text, Eof, Unusual };
        Kind kind = Unusual;
        QLatin1String name;
        bool empty = false;        // a start tag that closes itself
        const char *raw = nullptr; // a text's bytes
        int size = 0;
        bool plain = false;        // a text of ASCII without references: its bytes are its characters
        QString decoded;           // a text that is not plain

        QString text() const { return plain ? QString::fromLatin1(raw, size) : decoded; }
        // What an element that closes itself holds: nothing before its end.
        static Token ended()
        {
            Token token;
            token.kind = End;
            return token;
        }
    };

    // The bytes must outlive the scanner and its tokens.
    explicit PlainScanner(const QByteArray &bytes);

    Token next();

private:
    bool declaration();
    bool name(QLatin1String *name);
    bool text(const char *from, const char *to, Token *token);
    void skipSpace();
    bool literal(const char *text);

    const char *const begin;
    const char *p;
    const char *const end;
    QVarLengthArray<QLatin1String, 64> open;
    bool rootDone = false;
};

#endif
