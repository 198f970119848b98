#include "pagecallbacks.h"

#include "maiaFault.h"
#include "serviceanswer.h"

#include <QWebFrame>

namespace {

// A text placed between single quotes in a script: escaped so that no
// service text can end the string early or break the script.
QString jsQuoted(const QString &text)
{
    QString quoted;
    quoted.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': quoted += QLatin1String("\\\\"); break;
        case '\'': quoted += QLatin1String("\\'"); break;
        case '\r': quoted += QLatin1String("\\r"); break;
        case '\n': quoted += QLatin1String("\\n"); break;
        case 0x2028: quoted += QLatin1String("\\u2028"); break;
        case 0x2029: quoted += QLatin1String("\\u2029"); break;
        default: quoted += c;
        }
    }
    return quoted;
}

} // namespace

PageCallbacks::PageCallbacks(QWebFrame *frame, QObject *parent)
    : QObject(parent)
    , frame(frame)
{
    if (frame)
        connect(frame, &QObject::destroyed, this, [this] { emit pageGone(); });
}

bool PageCallbacks::hasPage() const
{
    return frame;
}

bool PageCallbacks::evaluate(const QString &script)
{
    if (!frame)
        return false;
    const QPointer<PageCallbacks> alive(this);
    frame->evaluateJavaScript(script);
    return alive && frame;
}

bool PageCallbacks::call(const QString &name)
{
    return evaluate(QLatin1String("window.") + name + QLatin1String("();"));
}

bool PageCallbacks::callWithText(const QString &name, const QString &text)
{
    return evaluate(QLatin1String("window.") + name + QLatin1String("('") + jsQuoted(text) + QLatin1String("');"));
}

bool PageCallbacks::progress(const QString &name, int done, int total)
{
    return evaluate(QLatin1String("window.") + name + QStringLiteral("(%1, %2);").arg(done).arg(total));
}

bool PageCallbacks::serviceError(const QString &name, const ServiceAnswer &answer)
{
    return error(name, QStringLiteral("app"), answer.status(), answer.statusMessage());
}

bool PageCallbacks::appError(const QString &name, AppError error, const QString &text)
{
    return this->error(name, QStringLiteral("app"), appErrorCode(error), text.isNull() ? appErrorText(error) : text);
}

bool PageCallbacks::fault(const QString &name, const MaiaFault &fault)
{
    return error(name, QStringLiteral("xmlrpc"), QString::number(fault.code()), fault.message());
}

std::function<void(const MaiaFault &)> PageCallbacks::faultTo(const QString &name)
{
    return [this, name](const MaiaFault &failure) { fault(name, failure); };
}

bool PageCallbacks::error(const QString &name, const QString &type, const QString &code, const QString &text)
{
    return evaluate(QLatin1String("window.") + name + QLatin1String("({error_type: '") + type
                    + QLatin1String("', error_code: '") + jsQuoted(code) + QLatin1String("', error_text: '")
                    + jsQuoted(text) + QLatin1String("'});"));
}
