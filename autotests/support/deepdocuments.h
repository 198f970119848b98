#ifndef DEEPDOCUMENTS_H
#define DEEPDOCUMENTS_H

#include <QString>
#include <QVector>

// Documents whose depth the guard must see whatever else is in them.
namespace DeepDocuments {

struct Content {
    QString name;
    QString markup; // the root element's content, left unclosed
};

// 100,000 nested elements behind markup a stricter reader stops at, or a
// scanner could end too early or too late ('>' and an unclosed opener
// inside a construct).
inline QVector<Content> behindEveryConstruct()
{
    struct Cover {
        const char *name;
        const char *markup;
        const char *element;
    };
    const Cover covers[] = {
        {"nothing", "", "<a>"},
        {"an undeclared prefix", "<x:y/>", "<a>"},
        {"an undeclared entity", "&zz;", "<a>"},
        {"a comment", "<!-- c -->", "<a>"},
        {"a CDATA section", "<![CDATA[ > <!-- ]]>", "<a>"},
        {"a processing instruction", "<?pi > <!-- ?>", "<a>"},
        {"'>' in an attribute value", "<b c=\">\"/>", "<a>"},
        {"'<' in an attribute value", "<b c='<'/>", "<a>"},
        {"'>' and '<' in a comment", "<!-- > <? -->", "<a>"},
        {"'/>' in each element's attribute value", "", "<a c=\"/>\">"},
        {"all that the DOM parser reads past", "<x:y c='>\"'/>&zz;<!--> <b> --><![CDATA[<b>]]><?pi <b>?>", "<a>"},
    };
    QVector<Content> documents;
    for (const Cover &cover : covers)
        documents.append({QString::fromLatin1(cover.name),
                          QString::fromLatin1(cover.markup) + QString::fromLatin1(cover.element).repeated(100000)});
    return documents;
}

// Params holding the string "x" with the deepest element, an empty one, at
// `levels` counting the root: root, params, param, value and string are five.
inline QString paramsNestedTo(int levels)
{
    const int inner = levels - 6;
    return QStringLiteral("<params><param><value><string>") + QStringLiteral("<i>").repeated(inner)
        + QStringLiteral("x<i/>") + QStringLiteral("</i>").repeated(inner)
        + QStringLiteral("</string></value></param></params>");
}

} // namespace DeepDocuments

#endif
