#include "documentwriter.h"
#include "scriptedhttpserver.h"
#include "signinfixture.h" // the service, the recording page and what their tests include
#include "xappplugin.h"

#include <QImage>
#include <QLibrary>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebFrame>

#include <cxxabi.h>
#include <typeinfo>

#ifdef VENDALUX_SANITIZE
// The plug-in's XAPPPlugin globals give way to ours, so AddressSanitizer sees each
// registered twice at one address; only a size mismatch is a real ODR violation.
extern "C" const char *__asan_default_options() { return "detect_odr_violation=1"; }
#endif

// Every message logged, counted on its way to Qt Test's handler.
static QAtomicInt loggedLines;
static QtMessageHandler testLogger;

static const char demoLogin[] = "window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');";

// Signs in through the page with the demo account.
static bool signedIn(TestPage *view)
{
    view->frame()->evaluateJavaScript(demoLogin);
    return view->waitForCallbacks(1) && view->received().at(0).toObject().value("cb") == QLatin1String("onOk");
}

// The plug-in loaded as Corvane loads it (this executable is the host: it
// compiles and exports its own XAPPPlugin), and the calls of window.lvendalux
// a page makes, checked at the simulated service.
class TestPlugin : public QObject
{
    Q_OBJECT
    XAPPPlugin *(*getPlugin)(QWebView *) = nullptr;
    QLibrary library{QStringLiteral(PLUGIN_PATH)};
    QTemporaryDir files;
    std::unique_ptr<ImportService> service;
    QPointer<TestPage> page;
    QPointer<XAPPPlugin> plugin;

    void run(const QString &script) { page->frame()->evaluateJavaScript(script); }
    QList<ImportService::Call> callsOf(const QString &method) const
    {
        QList<ImportService::Call> calls = service->calls();
        calls.erase(std::remove_if(calls.begin(), calls.end(), [&](const auto &call) { return call.method != method; }),
                    calls.end());
        return calls;
    }
    QString uploadScript(const QString &photo, const QString &meta = QStringLiteral("{}")) const
    {
        return "window.lvendalux._uploadFile('" + files.filePath(photo) + "', " + meta
            + ", 'onOk', 'onErr', 'onProgress');";
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(library.load(), qPrintable(library.errorString()));
        getPlugin = reinterpret_cast<decltype(getPlugin)>(library.resolve("getPlugin"));
        QVERIFY(getPlugin && files.isValid());
        QFile release(files.filePath("release.pdf"));
        QVERIFY(release.open(QIODevice::WriteOnly) && release.write("%PDF-1") == 6);
        QImage photo(2500, 2000, QImage::Format_RGB32);
        photo.fill(Qt::darkCyan);
        QVERIFY(photo.save(files.filePath("small.jpg")) && photo.scaled(8000, 6000).save(files.filePath("large.jpg")));
        testLogger = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            ++loggedLines;
            testLogger(type, context, text);
        });
    }

    void init()
    {
        service.reset(new ImportService);
        QVERIFY(service->listen(0));
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", service->port()));
        page = new TestPage;
        plugin = getPlugin(page);
        QVERIFY(page->ready());
    }

    void cleanup()
    {
        delete page;
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        qunsetenv("TMPDIR");
    }

    // Only getPlugin leaves the library, and the interface's own symbols for
    // the host's copies to replace; the page finds window.lvendalux, and the
    // plug-in's signal moves the host's view.
    void hostAndPageSeeThePlugin()
    {
        QProcess nm;
        nm.start(QStringLiteral("nm"), {"-D", "--defined-only", "-C", QStringLiteral(PLUGIN_PATH)});
        QVERIFY(nm.waitForFinished(30000) && nm.exitCode() == 0);
        const QString symbols = QString::fromLatin1(nm.readAllStandardOutput()); // "address type name" lines
        const QRegularExpression other("^\\S+ \\S ((?!getPlugin$|XAPPPlugin::|.* for XAPPPlugin$).*)$",
                                       QRegularExpression::MultilineOption);
        QVERIFY2(!other.match(symbols).hasMatch(), qPrintable(other.match(symbols).captured(1)));
        for (const QString &name : QStringLiteral(
                 "getPlugin|vtable for XAPPPlugin|typeinfo for XAPPPlugin|typeinfo name for XAPPPlugin|"
                 "XAPPPlugin::staticMetaObject|XAPPPlugin::metaObject() const|XAPPPlugin::qt_metacast(char const*)|"
                 "XAPPPlugin::qt_metacall(QMetaObject::Call, int, void**)|XAPPPlugin::registerWidgetSignal()|"
                 "XAPPPlugin::~XAPPPlugin()|XAPPPlugin::pluginName()").split('|'))
            QVERIFY2(symbols.contains(' ' + name + '\n'), qPrintable(name));
        QCOMPARE(plugin->metaObject()->superClass(), &XAPPPlugin::staticMetaObject); // qobject_cast works
        QCOMPARE(plugin->pluginName(), "lvendalux"); // through the host's vtable layout
        // Shared type information, which the sanitizers' dynamic type checks rely on.
        QVERIFY(dynamic_cast<const abi::__si_class_type_info &>(typeid(*plugin)).__base_type == &typeid(XAPPPlugin));
        run("window.alert = function (text) { received.push(text); };"
            "window.lvendalux.abort(); window.lvendalux.close(); window.lvendalux.hello();");
        QCOMPARE(page->received(), QJsonArray{"Vendalux uploader works"});

        // registerWidgetSignal() moves the view forward.
        QWebView view;
        QSignalSpy loaded(&view, &QWebView::loadFinished);
        const QUrl first(QStringLiteral("data:text/html,first")), second(QStringLiteral("data:text/html,second"));
        const QList<std::function<void()>> steps{[&] { view.load(first); }, [&] { view.load(second); },
                                                 [&] { view.back(); },
                                                 [&] { emit getPlugin(&view)->registerWidgetSignal(); }};
        for (int step = 0; step < steps.size(); ++step) {
            steps.at(step)();
            QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), step + 1, 10000);
        }
        QCOMPARE(view.url(), second);
    }

    void callReachesTheService_data()
    {
        // FILE: release.pdf, "%PDF-1" (JVBERi0x in Base64); each row is named after the remote method.
        QTest::addColumn<QString>("call");
        QTest::addColumn<QVariantList>("sent"); // after the token
        QTest::addColumn<QString>("answer");
        QTest::newRow("checkReleases") << "_checkReleases('R1,R2', 'onOk', 'onErr')" << QVariantList{"R1,R2"} << "onOk";
        QTest::newRow("addRelease")
            << "_uploadRelease('FILE', 'model', 'Ann', 'signed', '2026-12-06', 'onOk', 'onErr', 'onProgress')"
            << QVariantList{QVariantMap{{"data", "JVBERi0x"}, {"ext", ".pdf"}}, "model", "Ann", "signed", "2026-12-06"}
            << "onOk";
        // No photo P9 at the service, no catalog in the test's data location.
        QTest::newRow("attachReleases") << "_attachReleases('P9', 'R1', 'onOk', 'onErr')" << QVariantList{"P9", "R1"}
                                        << "onErr";
        QTest::newRow("getEarnings") << "_getEarnings('2026-01-01', '2026-01-03', 'onOk', 'onErr')"
                                     << QVariantList{"2026-01-01", "2026-01-03"} << "onErr";
    }

    void callReachesTheService()
    {
        QFETCH(QString, call);
        QVERIFY(signedIn(page));
        run("window.lvendalux." + call.replace("FILE", files.filePath("release.pdf")) + ';');
        QVERIFY(page->waitForCallbacks(2));
        QTEST(page->received().at(1).toObject().value("cb").toString(), "answer");
        QTEST(callsOf(QTest::currentDataTag()).value(0).params.mid(1), "sent");
    }

    // The page's first call leaves for the fixed endpoint through the host's
    // proxy, and is still in flight when the view goes.
    void callOnTheWireThenViewDeleted()
    {
        ScriptedHttpServer proxy; // holds the request until told to answer
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxy.serverPort()));
        run(demoLogin);
        QTRY_VERIFY_WITH_TIMEOUT(!proxy.requests.isEmpty(), 10000);
        const QByteArray head = proxy.requests.at(0).head;
        QVERIFY2(head.startsWith("POST http://api.vendalux.example/import-images HTTP/1.1\r\n")
                     && head.contains("\r\nUser-Agent: Corvane\r\n"), head);
        delete page;
        QVERIFY(plugin.isNull());
        proxy.answer(0, ScriptedHttpServer::httpAnswer(DocumentWriter::response(true)));
        QTRY_VERIFY_WITH_TIMEOUT(!proxy.requests.at(0).socket, 5000); // no callback, no crash
    }

    // Callbacks with nowhere to go, a function the page lacks or a page the
    // view no longer shows, reach nothing and stop nothing.
    void callbacksWithNowhereToGo()
    {
        const int before = loggedLines;
        run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'noSuchSuccess', 'noSuchError');");
        QVERIFY(QTest::qWaitFor([&] { return callsOf("getRestrictions").value(0).accepted; }, 15000));
        QCOMPARE(page->received(), QJsonArray());
        run(demoLogin);
        page->setPage(new QWebPage(page));
        QVERIFY(QTest::qWaitFor([&] { return callsOf("getRestrictions").size() == 2; }, 15000));
        QTest::qWait(300); // room for the last reply, whose page is gone
        QCOMPARE(int(loggedLines), before);
    }

    void viewDeletedInsideACallback_data()
    {
        QTest::addColumn<bool>("uploading");
        QTest::newRow("sign-in success") << false;
        QTest::newRow("upload progress") << true;
    }

    // A callback shows an alert; while its dialog runs, the host closes the
    // window and deletes the view (its page lives on, the host's): the work ends
    // there, with no later call and nothing logged.
    void viewDeletedInsideACallback()
    {
        QFETCH(bool, uploading);
        QObject hostPages;
        QPointer<TestPage> view = new TestPage(&hostPages);
        getPlugin(view);
        QVERIFY(view->ready() && (!uploading || signedIn(view)));
        view->onAlert = [&] {
            QTimer::singleShot(0, [&] { delete view; });
            (void)QTest::qWaitFor([&] { return view.isNull(); }, 5000);
        };
        const int before = loggedLines;
        view->frame()->evaluateJavaScript(uploading ? "window.onProgress = alert;" + uploadScript("small.jpg")
                                                    : "window.onOk = alert;" + QString(demoLogin));
        QVERIFY(QTest::qWaitFor([&] { return view.isNull(); }, 15000));
        QTest::qWait(300); // room for a stage or a log line that must not come
        QCOMPARE(int(loggedLines), before);
        QCOMPARE(callsOf("addPhoto").size(), uploading ? 1 : 0);
    }

    // The photo is still being prepared when the view goes: the work ends
    // there, with no callback, no stage sent and no file left behind. The
    // plug-in prepares one photo after another: an upload from another page
    // comes once that preparation has ended, and goes with the script's metadata.
    void uploadAfterAViewDeletedWhilePreparing()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        QObject hostPages;
        QPointer<TestPage> view = new TestPage(&hostPages);
        getPlugin(view);
        QVERIFY(view->ready() && signedIn(view) && signedIn(page));
        view->frame()->evaluateJavaScript(uploadScript("large.jpg"));
        delete view;
        run(uploadScript("small.jpg", "{title: 'Harbour', desc: 'At dawn', keywords: ['sea', 'boat']}"));
        QVERIFY(page->waitForCallbacks(6, 60000));
        QCOMPARE(page->received().at(5).toObject().value("cb").toString(), QStringLiteral("onOk"));
        const ImportService::Photo stored = service->photos().value(0);
        QCOMPARE(stored.title + '|' + stored.desc + '|' + stored.keywords, QStringLiteral("Harbour|At dawn|sea|boat"));
        QCOMPARE(hostPages.findChild<QWebPage *>()->mainFrame()->evaluateJavaScript("received.length").toInt(), 1);
        QVERIFY(QDir(tmp.path()).isEmpty());
    }
};

QTEST_MAIN(TestPlugin)
#include "tst_plugin.moc"
