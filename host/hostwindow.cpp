#include "hostwindow.h"

#include "hostbridge.h"
#include "xappplugin.h"

#include <QVBoxLayout>
#include <QWebFrame>
#include <QWebPage>
#include <QWebView>

namespace {
using GetPlugin = XAPPPlugin *(*)(QWebView *);
}

HostWindow::HostWindow(const QString &libraryPath, HostBridge *bridge, QWidget *parent)
    : QWidget(parent)
    , library(libraryPath)
    , bridge(bridge)
    , view(new QWebView(this))
{
    setWindowTitle(QStringLiteral("Corvane — Vendalux uploader"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    resize(1100, 1500);
    connect(view->page()->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, this,
            &HostWindow::publishHostObject);
    connect(view, &QWebView::loadFinished, this, &HostWindow::attachPlugin);
}

bool HostWindow::open(const QUrl &page)
{
    if (!library.load()) {
        error = library.errorString();
        return false;
    }
    view->load(page);
    return true;
}

void HostWindow::publishHostObject()
{
    view->page()->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("corvane"), bridge);
}

void HostWindow::attachPlugin(bool loaded)
{
    if (plugin)
        return; // the plug-in is attached once, to the first page
    const auto getPlugin = reinterpret_cast<GetPlugin>(library.resolve("getPlugin"));
    if (!loaded || !getPlugin) {
        error = loaded ? library.errorString() : QStringLiteral("the uploader page did not load");
        emit pageReady(false);
        return;
    }
    // Corvane takes the plug-in as a QObject and casts it to its own interface.
    QObject *object = getPlugin(view);
    plugin = qobject_cast<XAPPPlugin *>(object);
    if (!plugin) {
        error = QStringLiteral("getPlugin() returned %1, not an XAPPPlugin")
                    .arg(object ? QLatin1String(object->metaObject()->className()) : QLatin1String("null"));
        emit pageReady(false);
        return;
    }
    view->page()->mainFrame()->evaluateJavaScript(
        QStringLiteral("if (window.uploaderReady) uploaderReady('%1');").arg(QLatin1String(plugin->pluginName())));
    emit pageReady(true);
}

bool HostWindow::saveScreenshot(const QString &file)
{
    return view->grab().save(file);
}
