#include "documentreader.h"

#include "documentguard.h"
#include "domvalue.h"
#include "streamedvaluereader.h"

#include <QDebug>
#include <QDomDocument>

namespace {

using Token = PlainScanner::Token;

void reportAll(const QStringList &types)
{
    for (const QString &type : types)
        qDebug().nospace() << "Cannot demarshal unknown type " << type;
}

QByteArray cutAtNul(QByteArray bytes)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

// The DOM's reading: the guard, then the parser on the decoded text.
DocumentReader::Outcome parseWithDom(QByteArray &body, QDomDocument *document, QString *error, int *errorLine)
{
    QString text = QString::fromUtf8(body);
    body = QByteArray(); // the text holds it all now
    *error = DocumentGuard::refusal(text);
    if (!error->isEmpty())
        return DocumentReader::Refused;
    if (!document->setContent(text, error, errorLine))
        return DocumentReader::NotWellFormed;
    return DocumentReader::Read;
}

// A document holding a scalar whose text does not convert is not XML-RPC:
// nothing of it is handed on, and the error names the value.
template<typename Document> Document refuseInvalid(Document document, const QString &invalid)
{
    if (invalid.isEmpty())
        return document;
    Document refused;
    refused.outcome = DocumentReader::NotXmlRpc;
    refused.error = invalid;
    return refused;
}

} // namespace

MaiaFault DocumentReader::Response::fault() const
{
    switch (outcome) {
    case Read:
        break;
    case Refused:
        return MaiaFault(-32700, QLatin1String("parse error: response refused: ") + error);
    case NotWellFormed:
        return MaiaFault(-32700, QStringLiteral("parse error: response not well formed at line %1: %2")
                                     .arg(QString::number(errorLine), error));
    case NotXmlRpc:
        return MaiaFault(-32600, QLatin1String("parse error: invalid xml-rpc. ")
                                     + (error.isEmpty() ? QStringLiteral("not conforming to spec.") : error));
    }
    return MaiaFault(faultCode, faultString);
}

DocumentReader::Response DocumentReader::readResponse(QByteArray body)
{
    body = cutAtNul(std::move(body));
    Response response;
    const auto setFault = [&response](const QVariantMap &fault) {
        response.isFault = true;
        response.faultCode = fault.value(QStringLiteral("faultCode")).toInt();
        response.faultString = fault.value(QStringLiteral("faultString")).toString();
    };
    {
        StreamedValueReader reader(body);
        const Token root = reader.take();
        const Token first = root.kind == Token::Start && !root.empty ? reader.take() : Token();
        const QString kind = first.kind == Token::Start ? QString(first.name).toLower() : QString();
        response.outcome = Read;
        if (kind == QLatin1String("params")) {
            // The first param's first child; the rest is ignored.
            const Token param = first.empty ? Token() : reader.take();
            if (param.kind == Token::Start)
                response.result = reader.firstChildValue(param);
            if (param.kind != Token::End && !first.empty)
                reader.skipRest();
        } else if (kind == QLatin1String("fault")) {
            setFault(reader.firstChildValue(first).toMap());
        } else {
            response.outcome = NotXmlRpc;
            if (first.kind == Token::Start)
                reader.skip(first);
        }
        if (root.kind == Token::Start && reader.drainedToEnd()) {
            reportAll(reader.unknownTypes);
            return response.outcome == Read ? refuseInvalid(response, reader.invalid) : response;
        }
    }

    response = Response();
    QDomDocument document;
    response.outcome = parseWithDom(body, &document, &response.error, &response.errorLine);
    if (response.outcome != Read)
        return response;
    const QDomElement element = document.documentElement().firstChild().toElement();
    const QString kind = element.tagName().toLower();
    QStringList unknownTypes;
    QString invalid;
    if (kind == QLatin1String("params")) {
        const QDomNode param = element.firstChild();
        if (!param.isNull())
            response.result = DomValue::read(param.firstChild().toElement(), &unknownTypes, &invalid);
    } else if (kind == QLatin1String("fault")) {
        setFault(DomValue::read(element.firstChild().toElement(), &unknownTypes, &invalid).toMap());
    } else {
        response.outcome = NotXmlRpc;
        return response;
    }
    reportAll(unknownTypes);
    return refuseInvalid(response, invalid);
}

DocumentReader::Call DocumentReader::readCall(QByteArray body)
{
    body = cutAtNul(std::move(body));
    Call call;
    {
        StreamedValueReader reader(body);
        const Token root = reader.take();
        bool named = false;
        bool withParams = false;
        for (Token child = root.empty ? Token::ended() : reader.take(); !reader.failed && child.kind != Token::End;
             child = reader.take()) {
            if (child.kind != Token::Start)
                continue;
            if (!named && child.name == QLatin1String("methodName")) {
                named = true;
                call.methodName = reader.textOf(child);
            } else if (!withParams && child.name == QLatin1String("params")) {
                withParams = true;
                // Every node of params is a param; a text one reads as nothing.
                for (Token param = child.empty ? Token::ended() : reader.take(); !reader.failed && param.kind != Token::End;
                     param = reader.take())
                    call.streamed.append(param.kind == Token::Start ? reader.firstChildValue(param) : QVariant());
            } else {
                reader.skip(child);
            }
        }
        if (root.kind == Token::Start && reader.drainedToEnd()) {
            call.outcome = named ? Read : NotXmlRpc;
            call.unknownTypes = reader.unknownTypes;
            return named ? refuseInvalid(call, reader.invalid) : call;
        }
    }

    call = Call();
    QDomDocument document;
    call.outcome = parseWithDom(body, &document, &call.error, nullptr);
    if (call.outcome != Read)
        return call;
    const QDomElement root = document.documentElement();
    const QDomElement methodName = root.firstChildElement(QStringLiteral("methodName"));
    if (methodName.isNull()) {
        call.outcome = NotXmlRpc;
        return call;
    }
    call.methodName = methodName.text();
    QString invalid;
    const QDomElement params = root.firstChildElement(QStringLiteral("params"));
    for (QDomNode param = params.firstChild(); !param.isNull(); param = param.nextSibling())
        call.streamed.append(DomValue::read(param.firstChild().toElement(), &call.unknownTypes, &invalid));
    return refuseInvalid(call, invalid);
}

QVariantList DocumentReader::Call::arguments() const
{
    reportAll(unknownTypes);
    return streamed;
}
