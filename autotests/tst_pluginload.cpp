#include "xappplugin.h"

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

#include <cxxabi.h>
#include <typeinfo>

#ifdef VENDALUX_SANITIZE
// The plug-in's XAPPPlugin globals give way to ours, so AddressSanitizer sees each
// registered twice at one address; only a size mismatch is a real ODR violation.
extern "C" const char *__asan_default_options() { return "detect_odr_violation=1"; }
#endif

// The plug-in loaded the way the host loads it. This executable is the host:
// it compiles its own XAPPPlugin and exports it, as Corvane does.
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
    void exportsGetPluginAndTheInterface();
    void hostsInterfaceCastsThePlugin();
    void pageSeesThePlugin();
    void registerWidgetSignalMovesForward();
    void viewOwnsThePlugin();

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

void TestPluginLoad::exportsGetPluginAndTheInterface()
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {"-D", "--defined-only", "-C", QStringLiteral(PLUGIN_PATH)});
    QVERIFY(nm.waitForFinished(30000));
    QCOMPARE(nm.exitCode(), 0);
    QSet<QString> symbols;
    const QList<QByteArray> lines = nm.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QString name = QString::fromLatin1(line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1));
        // The interface's own symbols are there for the host's copies to replace.
        QVERIFY2(name == "getPlugin" || name.startsWith("XAPPPlugin::") || name.endsWith(" for XAPPPlugin"),
                 qPrintable(name));
        symbols << name;
    }
    const QStringList needed{"getPlugin", "XAPPPlugin::staticMetaObject", "vtable for XAPPPlugin",
                             "typeinfo for XAPPPlugin", "typeinfo name for XAPPPlugin",
                             "XAPPPlugin::metaObject() const", "XAPPPlugin::qt_metacast(char const*)",
                             "XAPPPlugin::qt_metacall(QMetaObject::Call, int, void**)",
                             "XAPPPlugin::registerWidgetSignal()", "XAPPPlugin::~XAPPPlugin()",
                             "XAPPPlugin::pluginName()"};
    for (const QString &name : needed)
        QVERIFY2(symbols.contains(name), qPrintable(name));
}

void TestPluginLoad::hostsInterfaceCastsThePlugin()
{
    QWebView *view = newView();
    QObject *plugin = getPlugin(view);
    QVERIFY(qobject_cast<XAPPPlugin *>(plugin));
    QVERIFY(plugin->metaObject()->inherits(&XAPPPlugin::staticMetaObject));
    QCOMPARE(plugin->metaObject()->superClass(), &XAPPPlugin::staticMetaObject);
    // Shared type information, which the sanitizers' dynamic type checks rely on.
    const auto *type = dynamic_cast<const abi::__si_class_type_info *>(&typeid(*plugin));
    QVERIFY(type);
    QVERIFY(type->__base_type == &typeid(XAPPPlugin));
    delete view;
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

QTEST_MAIN(TestPluginLoad)
#include "tst_pluginload.moc"
