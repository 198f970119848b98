#ifndef PAGECALLBACKS_H
#define PAGECALLBACKS_H

#include "apperror.h"

#include <QObject>
#include <QPointer>

#include <functional>

class MaiaFault;
class QWebFrame;
class ServiceAnswer;

// Calls the page's own functions, named by the page, as "window.NAME(...);"
// in its main frame. A callback may run an event loop in which the host
// deletes the view and the client with it, or the host may drop the page:
// each call says whether the page and this object (and so the client that
// owns it) are still there afterwards.
class PageCallbacks : public QObject
{
    Q_OBJECT
public:
    PageCallbacks(QWebFrame *frame, QObject *parent);

    bool hasPage() const;

    bool call(const QString &name);
    bool callWithText(const QString &name, const QString &text);
    bool progress(const QString &name, int done, int total);
    // {error_type: 'app'} with the service's status and message.
    bool serviceError(const QString &name, const ServiceAnswer &answer);
    // With the error's own text unless another is given.
    bool appError(const QString &name, AppError error, const QString &text = QString());
    // {error_type: 'xmlrpc'} with the fault's code and text.
    bool fault(const QString &name, const MaiaFault &fault);
    std::function<void(const MaiaFault &)> faultTo(const QString &name);

signals:
    // The frame is gone: nothing can be reported any more.
    void pageGone();

private:
    bool error(const QString &name, const QString &type, const QString &code, const QString &text);
    bool evaluate(const QString &script);

    QPointer<QWebFrame> frame;
};

#endif
