#include "testpage.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QWebFrame>
#include <QWebPage>

namespace {

// Runs the view's onAlert where a host would show an alert() as a modal dialog.
struct AlertingPage : QWebPage {
    AlertingPage(TestPage *view, QObject *owner) : QWebPage(owner), view(view) {}
    void javaScriptAlert(QWebFrame *, const QString &) override
    {
        if (view && view->onAlert)
            view->onAlert();
    }
    QPointer<TestPage> view;
};

} // namespace

TestPage::TestPage(QObject *pageOwner)
{
    setPage(new AlertingPage(this, pageOwner ? pageOwner : this));
    QSignalSpy finished(this, &QWebView::loadFinished);
    setHtml(
        QStringLiteral("<html><body><script>var received = []; function recorder(name) { return function () {"
                       " received.push({cb: name, args: [].slice.call(arguments)}); }; }"
                       "var onOk = recorder('onOk'), onErr = recorder('onErr'), onProgress = recorder('onProgress'),"
                       " onOther = recorder('onOther');</script></body></html>"));
    loaded = !finished.isEmpty() || finished.wait(10000);
}

QWebFrame *TestPage::frame() const { return page()->mainFrame(); }

QJsonArray TestPage::received() const
{
    const QString json = frame()->evaluateJavaScript(QStringLiteral("JSON.stringify(received)")).toString();
    return QJsonDocument::fromJson(json.toUtf8()).array();
}

bool TestPage::waitForCallbacks(int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
}
