#include "importservice.h"
#include "maiaObject.h"
#include "photopreparation.h"
#include "scriptedhttpserver.h"
#include "signinfixture.h"
#include "vendaluxuploader.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThreadPool>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebFrame>

// The page's own calls of window.lvendalux, with the argument shapes a page
// passes, checked at the simulated service.
class TestBridge : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void loginThroughThePage();
    void loginWithEmptyPassword();
    void uploadWithScriptMetadata();
    void releasesAndEarnings();
    void callbacksThatNameNoFunction();
    void viewDeletedWithCallInFlight();
    void viewDeletedInsideACallback_data();
    void viewDeletedInsideACallback();
    void viewDeletedWhilePreparing();
    void pageReplaced();

private:
    QList<ImportService::Call> callsOf(const QString &method) const;
    void run(const QString &script) { page->frame()->evaluateJavaScript(script); }

    std::unique_ptr<ImportService> service;
    TestPage *page = nullptr;
};

void TestBridge::init()
{
    service.reset(new ImportService);
    QVERIFY(service->listen(0));
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), service->port()));
    page = new TestPage;
    QVERIFY(page->ready());
    auto *plugin = new VendaluxUploader(page);
    plugin->registerInPage();
}

void TestBridge::cleanup()
{
    delete page;
    page = nullptr;
    service.reset();
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

// A view with the plug-in, whose page the host keeps beyond the view.
static TestPage *viewKeepingItsPage(QObject *hostPages)
{
    auto *view = new TestPage(hostPages);
    (new VendaluxUploader(view))->registerInPage();
    return view;
}

static bool savePhoto(const QString &path, const QSize &size, Qt::GlobalColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path, "JPEG");
}

QList<ImportService::Call> TestBridge::callsOf(const QString &method) const
{
    QList<ImportService::Call> matching;
    for (const ImportService::Call &call : service->calls()) {
        if (call.method == method)
            matching << call;
    }
    return matching;
}

void TestBridge::loginThroughThePage()
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
    run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
    QVERIFY(page->waitForCallbacks(1));
    QCOMPARE(page->received().at(0).toObject().value("cb").toString(), QStringLiteral("onOk"));
    QCOMPARE(callsOf("getHash").value(0).params, QVariantList{"demo"});
    QVERIFY(callsOf("getRestrictions").value(0).accepted);
}

void TestBridge::loginWithEmptyPassword()
{
    run("window.lvendalux._login('demo', 'demo-key', '', 'onOk', 'onErr');");
    QVERIFY(page->waitForCallbacks(1));
    QCOMPARE(page->received().at(0).toObject(), (QJsonObject{{"cb", "onErr"}, {"args", QJsonArray()}}));
    // Sent all the same, proven with the MD5 of the empty password.
    const QString issued = callsOf("getHash").value(0).token;
    QCOMPARE(callsOf("login").value(0).token, SignInFixture::renewed(issued, QString()));
}

void TestBridge::uploadWithScriptMetadata()
{
    QTemporaryDir folder;
    const QString photo = folder.filePath("IMG_1.jpg");
    QVERIFY(savePhoto(photo, QSize(2500, 2000), Qt::darkCyan));

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
    run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
    QVERIFY(page->waitForCallbacks(1));
    run(QStringLiteral("window.lvendalux._uploadFile('%1', {title: 'Harbour', desc: 'At dawn', keywords: ['sea', 'boat']},"
                       " 'onOk', 'onErr', 'onProgress');").arg(photo));
    QVERIFY(page->waitForCallbacks(6)); // four progress calls and the result
    const QJsonArray received = page->received();
    QCOMPARE(received.at(4).toObject().value("args").toArray(), (QJsonArray{4, 4}));
    QCOMPARE(received.at(5).toObject().value("cb").toString(), QStringLiteral("onOk"));

    const QList<ImportService::Call> stages = callsOf("addPhoto");
    QCOMPARE(stages.size(), 4);
    const QVariantMap last = stages.at(3).params.value(1).toMap();
    QCOMPARE(last.value("title").toString(), QStringLiteral("Harbour"));
    QCOMPARE(last.value("desc").toString(), QStringLiteral("At dawn"));
    QCOMPARE(last.value("keywords").toString(), QStringLiteral("sea|boat"));
}

void TestBridge::releasesAndEarnings()
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
    run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
    QVERIFY(page->waitForCallbacks(1));
    run("window.lvendalux._checkReleases('r-1,r-2', 'onOk', 'onErr');"
        "window.lvendalux._attachReleases('p-9', 'r-1', 'onOther', 'onErr');"
        "window.lvendalux._getEarnings('2026-01-01', '2026-01-03', 'onOk', 'onErr');");
    QVERIFY(page->waitForCallbacks(4));
    QCOMPARE(callsOf("checkReleases").value(0).params.mid(1), QVariantList{"r-1,r-2"});
    QCOMPARE(callsOf("attachReleases").value(0).params.mid(1), (QVariantList{"p-9", "r-1"}));
    QCOMPARE(callsOf("getEarnings").value(0).params.mid(1), (QVariantList{"2026-01-01", "2026-01-03"}));
}

void TestBridge::callbacksThatNameNoFunction()
{
    run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'noSuchSuccess', 'noSuchError');");
    QVERIFY(QTest::qWaitFor([&] { return callsOf("getRestrictions").size() == 1; }, 15000));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
    QVERIFY(QTest::qWaitFor([&] { return service->calls().size() == 3; }, 15000));
    QCOMPARE(page->received(), QJsonArray()); // nothing reached the page, nothing broke
    run("window.lvendalux._getEarnings('2026-01-01', '2026-01-01', 'noSuchSuccess', 'noSuchError');");
    QVERIFY(QTest::qWaitFor([&] { return callsOf("getEarnings").size() == 1; }, 15000));
}

void TestBridge::viewDeletedWithCallInFlight()
{
    ScriptedHttpServer silent; // holds the request until told to answer
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), silent.serverPort()));
    QPointer<QObject> plugin = page->findChild<VendaluxUploader *>();
    QVERIFY(plugin);
    run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
    QSignalSpy received(&silent, &ScriptedHttpServer::requestReceived);
    QVERIFY(received.wait(10000));
    delete page;
    page = nullptr;
    QVERIFY(plugin.isNull());
    silent.answer(0, ScriptedHttpServer::httpAnswer(MaiaObject::composeResponse(QVariantMap{{"status", "200"}}).toUtf8()));
    QTRY_VERIFY_WITH_TIMEOUT(!silent.requests.at(0).socket, 5000);
    QCoreApplication::processEvents(); // no callback, no crash
}

void TestBridge::viewDeletedInsideACallback_data()
{
    QTest::addColumn<bool>("uploading");
    QTest::newRow("sign-in success") << false;
    QTest::newRow("upload progress") << true;
}

// A callback shows an alert; while its dialog runs, the host closes the
// window and deletes the view (its page lives on, the host's): the work ends
// there, with no later call and nothing logged.
void TestBridge::viewDeletedInsideACallback()
{
    QFETCH(bool, uploading);
    QTemporaryDir folder;
    const QString photo = folder.filePath("IMG_2.jpg");
    QVERIFY(savePhoto(photo, QSize(2500, 2000), Qt::darkRed));
    QObject hostPages;
    QPointer<TestPage> view = viewKeepingItsPage(&hostPages);
    QVERIFY(view->ready());
    const auto runInView = [&](const QString &script) { view->frame()->evaluateJavaScript(script); };
    if (uploading) {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
        runInView("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
        QVERIFY(view->waitForCallbacks(1));
    }
    view->onAlert = [&] {
        QTimer::singleShot(0, [&] { delete view; });
        QTest::qWaitFor([&] { return view.isNull(); }, 5000);
    };
    static int messages;
    messages = 0;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) { ++messages; });
    runInView(uploading ? QStringLiteral("window.onProgress = function () { alert('stage'); };"
                                         "window.lvendalux._uploadFile('%1', {}, 'onOk', 'onErr', 'onProgress');").arg(photo)
                        : QStringLiteral("window.onOk = function () { alert('in'); };"
                                         "window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');"));
    QVERIFY(QTest::qWaitFor([&] { return view.isNull(); }, 15000));
    QTest::qWait(300); // room for a stage or a log line that must not come
    qInstallMessageHandler(previous);
    QCOMPARE(messages, 0);
    QCOMPARE(callsOf("addPhoto").size(), uploading ? 1 : 0);
}

// The photo is still being prepared on the pool when the view goes: the
// work ends there, with no callback, no stage sent and no file left behind.
void TestBridge::viewDeletedWhilePreparing()
{
    QTemporaryDir tmp;
    QTemporaryDir folder;
    const QString photo = folder.filePath("IMG_3.jpg");
    QVERIFY(savePhoto(photo, QSize(8000, 6000), Qt::darkGreen));
    QObject hostPages;
    QPointer<TestPage> view = viewKeepingItsPage(&hostPages);
    QVERIFY(view->ready());
    QWebPage *hostPage = view->page();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
    view->frame()->evaluateJavaScript("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
    QVERIFY(view->waitForCallbacks(1));

    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    view->frame()->evaluateJavaScript(
        QStringLiteral("window.lvendalux._uploadFile('%1', {}, 'onOk', 'onErr', 'onProgress');").arg(photo));
    delete view;
    const bool prepared = PhotoPreparation::pool()->waitForDone(60000);
    qunsetenv("TMPDIR");
    QVERIFY(prepared);
    QTest::qWait(300); // room for a result or a stage that must not come
    QCOMPARE(hostPage->mainFrame()->evaluateJavaScript("received.length").toInt(), 1);
    QCOMPARE(callsOf("addPhoto").size(), 0);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

// The host gives the view a new page: the old frame is gone, and the work
// for it ends silently.
void TestBridge::pageReplaced()
{
    run("window.lvendalux._login('demo', 'demo-key', 'demo-password', 'onOk', 'onErr');");
    page->setPage(new QWebPage(page));
    QVERIFY(QTest::qWaitFor([&] { return callsOf("getRestrictions").size() == 1; }, 15000));
    QTest::qWait(300);
    QCOMPARE(service->calls().size(), 3);
}

QTEST_MAIN(TestBridge)
#include "tst_bridge.moc"
