#ifndef TESTPAGE_H
#define TESTPAGE_H

#include <QJsonArray>
#include <QWebView>

#include <functional>

// A page whose callbacks (onOk, onErr, onProgress, ...) record what they
// receive, for checks of what the client reports to the page.
class TestPage : public QWebView
{
    Q_OBJECT
public:
    // The page belongs to the view unless another owner is given, as a host
    // may keep its page beyond the view.
    explicit TestPage(QObject *pageOwner = nullptr);
    bool ready() const { return loaded; }
    QWebFrame *frame() const;
    // Each entry: {"cb": callback name, "args": [arguments]}.
    QJsonArray received() const;
    bool waitForCallbacks(int count, int timeoutMs = 15000) const;
    // Runs where a host would show an alert() as a modal dialog, inside the script.
    std::function<void()> onAlert;

private:
    bool loaded = false;
};

#endif
