#ifndef HOSTWINDOW_H
#define HOSTWINDOW_H

#include <QLibrary>
#include <QWidget>

class HostBridge;
class QWebView;
class XAPPPlugin;

// Corvane's uploader window: a web view showing the uploader page, with the
// plug-in loaded from its library the way the real host does it.
class HostWindow : public QWidget
{
    Q_OBJECT
public:
    HostWindow(const QString &libraryPath, HostBridge *bridge, QWidget *parent = nullptr);

    // Loads the page; the plug-in is attached once it has loaded.
    bool open(const QUrl &page);
    QString errorString() const { return error; }
    bool saveScreenshot(const QString &file);

signals:
    void pageReady(bool pluginLoaded);

private slots:
    void publishHostObject();
    void attachPlugin(bool loaded);

private:
    QLibrary library;
    HostBridge *bridge;
    QWebView *view;
    XAPPPlugin *plugin = nullptr;
    QString error;
};

#endif
