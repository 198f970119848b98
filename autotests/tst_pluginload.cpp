#include "vendaluxuploader.h"

#include <QApplication>
#include <QLibrary>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebFrame>
#include <QWebHistory>
#include <QWebPage>
#include <QWebView>

// The plug-in loaded the way the host loads it, and its classes linked in.
class AlertRecordingPage : public QWebPage
{
    Q_OBJECT
public:
    using QWebPage::QWebPage;
    QStringList alerts;

protected:
    void javaScriptAlert(QWebFrame *, const QString &message) override { alerts << message; }
};

using GetPlugin = XAPPPlugin *(*)(QWebView *);

class TestPluginLoad : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void exportsOnlyGetPlugin();
    void pageSeesThePlugin();
    void registerWidgetSignalMovesForward();
    void viewOwnsThePlugin();
    void linkedInClassesCast();

private:
    QWebView *newView();
    static bool load(QWebView *view, const QUrl &url);
    GetPlugin getPlugin = nullptr;
    QLibrary library{QStringLiteral(PLUGIN_PATH)};
    QTemporaryDir pages;
};

QWebView *TestPluginLoad::newView()
{
    auto *view = new QWebView;
    view->setPage(new AlertRecordingPage(view));
    return view;
}

bool TestPluginLoad::load(QWebView *view, const QUrl &url)
{
    QSignalSpy finished(view, &QWebView::loadFinished);
    view->load(url);
    return finished.wait(10000) && finished.at(0).at(0).toBool();
}

void TestPluginLoad::initTestCase()
{
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    getPlugin = reinterpret_cast<GetPlugin>(library.resolve("getPlugin"));
    QVERIFY(getPlugin);
    QVERIFY(pages.isValid());
    for (const char *name : {"first", "second"}) {
        QFile page(pages.filePath(QString::fromLatin1(name) + ".html"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write(QByteArray("<html><body>") + name + "</body></html>");
    }
}

void TestPluginLoad::exportsOnlyGetPlugin()
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {"-D", "--defined-only", QStringLiteral(PLUGIN_PATH)});
    QVERIFY(nm.waitForFinished(30000));
    QCOMPARE(nm.exitCode(), 0);
    QStringList symbols;
    const QList<QByteArray> lines = nm.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 3)
            symbols << QString::fromLatin1(fields.at(2));
    }
    QCOMPARE(symbols, QStringList{QStringLiteral("getPlugin")});
}

void TestPluginLoad::pageSeesThePlugin()
{
    QWebView *view = newView();
    auto *page = static_cast<AlertRecordingPage *>(view->page());
    XAPPPlugin *plugin = getPlugin(view);
    QVERIFY(plugin);
    QCOMPARE(plugin->pluginName(), "lvendalux"); // the virtual call crosses the library boundary
    QVERIFY(plugin->inherits("XAPPPlugin"));
    QCOMPARE(plugin->metaObject()->className(), "VendaluxUploader");

    QWebFrame *frame = view->page()->mainFrame();
    QCOMPARE(frame->evaluateJavaScript("typeof window.lvendalux").toString(), QStringLiteral("object"));
    const QStringList methods{"hello", "_login", "_uploadFile", "_checkReleases", "_uploadRelease",
                              "_attachReleases", "_getEarnings", "abort", "close"};
    for (const QString &method : methods)
        QCOMPARE(frame->evaluateJavaScript("typeof window.lvendalux." + method).toString(), QStringLiteral("function"));

    frame->evaluateJavaScript("window.lvendalux.abort(); window.lvendalux.close(); window.lvendalux.hello();");
    QCOMPARE(page->alerts, QStringList{QStringLiteral("Vendalux uploader works")});
    delete view;
}

void TestPluginLoad::registerWidgetSignalMovesForward()
{
    QWebView *view = newView();
    const QUrl second = QUrl::fromLocalFile(pages.filePath("second.html"));
    QVERIFY(load(view, QUrl::fromLocalFile(pages.filePath("first.html"))));
    QVERIFY(load(view, second));
    QSignalSpy back(view, &QWebView::loadFinished);
    view->back();
    QVERIFY(back.wait(10000));
    QVERIFY(view->history()->canGoForward());

    XAPPPlugin *plugin = getPlugin(view);
    QSignalSpy forward(view, &QWebView::loadFinished);
    emit plugin->registerWidgetSignal();
    QVERIFY(forward.wait(10000));
    QCOMPARE(view->url(), second);
    delete view;
}

void TestPluginLoad::viewOwnsThePlugin()
{
    QWebView *view = newView();
    QPointer<QObject> plugin = getPlugin(view);
    QCOMPARE(plugin->parent(), view);
    delete view;
    QVERIFY(plugin.isNull());
}

void TestPluginLoad::linkedInClassesCast()
{
    QWebView view;
    VendaluxUploader uploader(&view);
    QObject *asObject = &uploader;
    XAPPPlugin *asInterface = qobject_cast<XAPPPlugin *>(asObject);
    QVERIFY(asInterface);
    QCOMPARE(asInterface->pluginName(), "lvendalux");
    QCOMPARE(asInterface->metaObject()->className(), "VendaluxUploader");

    XAPPPlugin plain(&view);
    QCOMPARE(plain.pluginName(), "lplug");
    QCOMPARE(XAPPPlugin::staticMetaObject.methodCount() - QObject::staticMetaObject.methodCount(), 1);
    QCOMPARE(XAPPPlugin::staticMetaObject.method(XAPPPlugin::staticMetaObject.methodOffset()).methodSignature(),
             QByteArray("registerWidgetSignal()"));
}

QTEST_MAIN(TestPluginLoad)
#include "tst_pluginload.moc"
