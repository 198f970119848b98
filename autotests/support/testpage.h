#ifndef TESTPAGE_H
#define TESTPAGE_H

#include <QJsonArray>
#include <QWebView>

// A page whose callbacks (onOk, onErr, onProgress, ...) record what they
// receive, for checks of what the client reports to the page.
class TestPage : public QWebView
{
    Q_OBJECT
public:
    TestPage();
    bool ready() const { return loaded; }
    QWebFrame *frame() const;
    // Each entry: {"cb": callback name, "args": [arguments]}.
    QJsonArray received() const;
    bool waitForCallbacks(int count, int timeoutMs = 15000) const;

private:
    bool loaded = false;
};

#endif
