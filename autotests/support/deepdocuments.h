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
    const char *const covers[][3] = {
        {"nothing", "", "<a>"}, {"an undeclared prefix", "<x:y/>", "<a>"}, {"an undeclared entity", "&zz;", "<a>"},
        {"a comment", "<!-- c -->", "<a>"}, {"a CDATA section", "<![CDATA[ > <!-- ]]>", "<a>"},
        {"a processing instruction", "<?pi > <!-- ?>", "<a>"}, {"'>' in an attribute value", "<b c=\">\"/>", "<a>"},
        {"'<' in an attribute value", "<b c='<'/>", "<a>"}, {"'>' and '<' in a comment", "<!-- > <? -->", "<a>"},
        {"'/>' in each element's attribute value", "", "<a c=\"/>\">"},
        {"all that the DOM parser reads past", "<x:y c='>\"'/>&zz;<!--> <b> --><![CDATA[<b>]]><?pi <b>?>", "<a>"}};
    QVector<Content> documents;
    for (const auto &cover : covers)
        documents.append({QString::fromLatin1(cover[0]),
                          QString::fromLatin1(cover[1]) + QString::fromLatin1(cover[2]).repeated(100000)});
    return documents;
}

} // namespace DeepDocuments

#endif
