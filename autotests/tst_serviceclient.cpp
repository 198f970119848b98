#include "catalogfixture.h"
#include "documentwriter.h"
#include "photofiles.h"
#include "scriptedhttpserver.h"
#include "signinfixture.h"

#include <QDir>
#include <QSignalSpy>
#include <QWebFrame>

// XClient in a real page against the simulated service (sign-in, releases,
// earnings into a real catalog) and against a scripted server that answers badly.
using Fault = FaultGate::InjectedFault;
using Kind = FaultGate::FaultKind;
Q_DECLARE_METATYPE(Fault)

namespace {

// Quotes, backslashes, line breaks and markup that would end a script string early.
const QString breaker = QStringLiteral("a\\\"'); window.injected = 1; ('\r\n\u2028\u2029</script>b");
const QString escapedBreaker = QRegularExpression::escape(breaker);

// Whether callback `index` of the page, as "name arguments" (an error as type, code and
// text), matches `pattern`, and nothing else ran in the page.
QString seen(const TestPage &page, int index)
{
    const QJsonValue callback = page.received().at(index);
    QStringList args;
    for (const QJsonValue &arg : callback["args"].toArray())
        args << (arg.isObject() ? QStringList{arg["error_type"].toString(), arg["error_code"].toString(),
                                              arg["error_text"].toString()}.join(' ')
                                : arg.isDouble() ? QString::number(arg.toDouble()) : arg.toString());
    return callback["cb"].toString() + (args.isEmpty() ? QString() : ' ' + args.join(','));
}

bool calledBack(const TestPage &page, int index, const QString &pattern)
{
    if (QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(seen(page, index)).hasMatch())
        return page.frame()->evaluateJavaScript("typeof window.injected").toString() == "undefined";
    qWarning() << "callback" << index << "was" << seen(page, index);
    return false;
}

// Operations ended: success and error callbacks, not progress.
int endings(const TestPage &page)
{
    int count = 0;
    for (const QJsonValue &callback : page.received())
        count += callback["cb"].toString() != QLatin1String("onProgress");
    return count;
}

// The simulated service's fixture, its client's calls going to a scripted server instead.
struct ScriptedFixture : SignInFixture {
    ScriptedHttpServer server;
    ScriptedFixture()
    {
        QNetworkProxy::setApplicationProxy({QNetworkProxy::HttpProxy, "127.0.0.1", server.serverPort()});
    }
};

// Earnings of `count` days from 2026-01-01 as the service lists them.
QString days(int count)
{
    QStringList items;
    for (int i = 0; i < count; ++i)
        items << QDate(2026, 1, 1).addDays(i).toString(Qt::ISODate) + ":2.5:3";
    return items.join('|');
}

QVariantMap record(const QString &data, double value = 12.5, const QString &today = "2026-12-06")
{
    return {{"today", today}, {"currency", "EUR"}, {"value", value}, {"rate", 0.3}, {"data", data}};
}

// The statements run, in short: S a lookup, I<n> an insert of n rows, U<value> an update of one.
QString shape(const QStringList &statements)
{
    QStringList shapes;
    for (const QString &s : statements.filter(QRegularExpression("^[A-Z]"))) // not the lines of triggers
        shapes << (s.startsWith("SELECT") ? QString("S")
                   : s.startsWith("INSERT") ? "I" + QString::number(s.count("(NULL, "))
                   : s.startsWith("UPDATE stockstats") ? "U" + s.section('\'', 1, 1) : s.section(' ', 0, 1));
    return shapes.join(',');
}

} // namespace

class TestServiceClient : public QObject
{
    Q_OBJECT
private slots:
    void signIn_data()
    {
        QTest::addColumn<QString>("clientId");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("method");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QByteArray>("answer"); // a scripted server's answer to every call, instead of the service's
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QStringList>("calls");
        const QString id = ImportService::demoClientId, pw = ImportService::demoPassword;
        const QStringList none, hash{"getHash"}, login = hash + QStringList{"login"},
                                                 all = login + QStringList{"getRestrictions"};
        const QByteArray service, cut = "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<methodResponse><params>";
        auto http = [](const QByteArray &body) { return ScriptedHttpServer::httpAnswer(body); };
        QTest::newRow("signed in") << id << pw << "" << Fault() << service << "onOk" << all;
        QTest::newRow("Latin-1 password")
            << "latin" << QStringLiteral("été☃") << "" << Fault() << service << "onOk" << all;
        QTest::newRow("wrong password") << id << "wrong" << "" << Fault() << service << "onErr" << login;
        QTest::newRow("unknown client id") << "nobody" << pw << "" << Fault() << service << "onErr" << hash;
        QTest::newRow("no restrictions") << id << pw << "getRestrictions" << Fault(Kind::Status, 503) << service
                                         << "onErr" << all;
        QTest::newRow("dropped") << id << pw << "getHash" << Fault(Kind::DropConnection) << service
                                 << "onErr xmlrpc -32300 .*" << hash;
        QTest::newRow("negative fault code") << id << pw << "login" << Fault(Kind::XmlRpcFault, -1, "-") << service
                                             << "onErr xmlrpc -1 -" << login;
        QTest::newRow("fault text that tries to become script") << id << pw << "getRestrictions"
            << Fault(Kind::XmlRpcFault, 4711, breaker) << service << "onErr xmlrpc 4711 " + escapedBreaker << all;
        QTest::newRow("truncated") << id << pw << "" << Fault()
                                   << http("<?xml version=\"1.0\"?><methodResponse><params>")
                                   << "onErr xmlrpc -32700 .*not well formed.*" << none;
        QTest::newRow("closed mid-body") << id << pw << "" << Fault() << cut << "onErr xmlrpc -32300 .*" << none;
        QTest::newRow("HTTP 502") << id << pw << "" << Fault()
                                  << ScriptedHttpServer::httpAnswer("<html/>", 502, "Bad Gateway")
                                  << "onErr xmlrpc -32300 .*Bad Gateway.*" << none;
    }
    void signIn()
    {
        QFETCH(QString, password);
        QFETCH(Fault, fault);
        QFETCH(QByteArray, answer);
        QFETCH(QString, callback);
        SignInFixture f;
        QVERIFY(f.ready);
        f.service.addAccount("latin", ImportService::demoClientKey, password); // for the Latin-1 row
        ScriptedHttpServer server;
        if (!answer.isEmpty())
            QNetworkProxy::setApplicationProxy({QNetworkProxy::HttpProxy, "127.0.0.1", server.serverPort()});
        for (int i = 0; i < 6; ++i) // a failed exchange is tried five more times
            server.automaticAnswers << answer;
        QFETCH(QString, method);
        f.service.injectFault(method, fault, 6);
        QFETCH(QString, clientId);
        f.signIn(password, clientId);
        QVERIFY(f.page.waitForCallbacks(1));
        QTest::qWait(100); // a second outcome of a call would arrive now
        QCOMPARE(f.page.received().size(), 1);
        QVERIFY(calledBack(f.page, 0, callback));

        // Each call carries the renewal of the token before it; a failed step renews nothing.
        QStringList methods;
        QString last;
        for (const ImportService::Call &call : f.service.calls()) {
            if (!methods.isEmpty() && call.method != methods.last())
                QCOMPARE(call.token, SignInFixture::renewed(last, password));
            methods << call.method;
            last = call.token;
        }
        methods.removeDuplicates();
        QTEST(methods, "calls");
        QCOMPARE(f.client.session().token(), callback == "onOk" ? SignInFixture::renewed(last, password) : last);
    }

    // Faults met in the field during a session of photo A, a release, its attachment to
    // photo 1001 and photo B: what the page hears, and what the service keeps.
    void fieldFaults_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<Fault>("fault"); // its `after`: calls of the method let through first
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("strict"); // the service refuses every token but the latest
        QTest::addColumn<QString>("heard");
        QTest::addColumn<QString>("stored"); // photo titles, releases, attachments
        const QString stages = "onProgress 1,4 onProgress 2,4 onProgress 3,4 onProgress 4,4 ";
        const QString sent = "onProgress 1,4 onProgress 2,4 onProgress 3,4 "; // the last stage's reply lost
        const QString a = stages + "onOk 1001 ", b = stages + "onOk 1002", lost = "onErr app 127 .*may already hold.*",
                      release = "onOk R1 onOk 1 ", all = "A B R1 1001:R1";
        const Fault drop(Kind::DropConnection), stall(Kind::Stall), gone(Kind::ReplyLost);
        auto after = [](Fault fault, int calls) { return fault.after = calls, fault; };
        QTest::newRow("stage 2 of A taken, reply lost") << "addPhoto" << after(gone, 2) << 1 << false
                                                        << a + release + b << all;
        QTest::newRow("the same, strict") << "addPhoto" << after(gone, 2) << 1 << true << a + release + b << all;
        QTest::newRow("last stage of A taken, reply lost, strict")
            << "addPhoto" << after(gone, 3) << 1 << true << sent + lost + " " + release + b << all;
        QTest::newRow("stage 1 of A stalls") << "addPhoto" << after(stall, 1) << 1 << false << a + release + b << all;
        QTest::newRow("last stage of B stalls")
            << "addPhoto" << after(stall, 7) << 1 << false << a + release + sent + lost
            << "A R1 1001:R1";
        QTest::newRow("five drops in a row") << "addPhoto" << drop << 5 << false << a + release + b << all;
        QTest::newRow("six drops in a row") << "addPhoto" << drop << 6 << false
                                            << "onErr xmlrpc -32300 .* onOk R1 onErr app 404 Unknown photo id 1001 "
                                                   + stages + "onOk 1001" << "B R1";
        QTest::newRow("HTTP 503 twice on stage 0") << "addPhoto" << Fault(Kind::HttpError, 503, "busy") << 2 << false
                                                   << a + release + b << all;
        QTest::newRow("release taken, reply lost, strict") << "addRelease" << gone << 1 << true
                                                           << a + lost + " onOk 1 " + b << all;
        QTest::newRow("attachment taken, reply lost, strict") << "attachReleases" << gone << 1 << true
                                                              << a + "onOk R1 " + lost + " " + b << all;
        QTest::newRow("sign-in again drops twice") << "getHash" << drop << 2 << true << a + release + b << all;
    }
    void fieldFaults()
    {
        QFETCH(QString, method);
        QFETCH(Fault, fault);
        QFETCH(int, count);
        SignInFixture f;
        QVERIFY(f.ready);
        f.client.setCallTimeout(2000); // a stall costs this; a busy machine answers well within it
        f.service.setRestrictions({{"min_mpx", 0}, {"min_w", 8}, {"min_h", 8}}); // small photos, quickly prepared
        QVERIFY(f.signedIn());
        QFETCH(bool, strict);
        f.service.setStrictTokens(strict);
        f.service.injectFault(method, fault, count);
        if (method == "getHash") // only a transport failure makes the client sign in again
            f.service.injectFault("addPhoto", Fault(Kind::ReplyLost, 0, {}, {}, 1));
        QTemporaryDir dir;
        QFile file(dir.filePath("photo.jpg"));
        const QByteArray jpeg = twoColours(64, 48);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(jpeg) == jpeg.size());
        file.close();
        QString path = file.fileName(), ok = "onOk", err = "onErr", progress = "onProgress", r1 = "R1", id = "1001";
        int ended = 1;
        auto done = [&f, &ended] { // the operation's success or error came
            ++ended;
            return QTest::qWaitFor([&] { return endings(f.page) >= ended; }, 30000);
        };
        for (const QString title : {"A", "", "", "B"}) {
            if (title.isEmpty() && ended == 2)
                f.client.uploadRelease(path, "model", "Ann", "signed", "2026-12-06", ok, err, progress);
            else if (title.isEmpty())
                f.client.attachReleases(id, r1, ok, err);
            else {
                QVariant meta = QVariantMap{{"title", title}};
                f.client.uploadImage(path, meta, ok, err, progress);
            }
            QVERIFY(done());
        }
        QTest::qWait(100); // a stray callback would come now
        QStringList transcript;
        for (int i = 1; i < f.page.received().size(); ++i)
            transcript << seen(f.page, i);
        QFETCH(QString, heard);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(heard)).match(transcript.join(' ')).hasMatch(),
                 qPrintable(transcript.join(' ')));
        QStringList stored;
        for (const ImportService::Photo &photo : f.service.photos())
            stored << photo.title;
        for (const ImportService::Release &release : f.service.releases())
            stored << release.id;
        const auto attached = f.service.attachments();
        for (auto it = attached.begin(); it != attached.end(); ++it)
            stored << it.key() + ":" + it.value().join(',');
        QTEST(stored.join(' '), "stored");
    }

    void restrictions_data()
    {
        QTest::addColumn<QVariantMap>("announced");
        QTest::addColumn<QVariantMap>("stored");
        const QVariantMap defaults{{"exts", QStringList{""}}, {"max_mpx", 24}, {"min_mpx", 4}, {"min_w", 1024},
                                   {"min_h", 1024}, {"max_r", 4}, {"q", 90}};
        auto with = [&defaults](const QVariantMap &changes) {
            QVariantMap limits = defaults;
            limits.insert(changes);
            return limits;
        };
        QTest::newRow("nothing announced") << QVariantMap() << defaults;
        QTest::newRow("digit strings") << QVariantMap{{"max_mpx", "30"}, {"q", "75"}}
                                       << with({{"max_mpx", 30}, {"q", 75}});
        QTest::newRow("not numeric") << QVariantMap{{"max_mpx", "lots"}, {"min_h", "12px"}} << defaults;
        QTest::newRow("zero and negative")
            << QVariantMap{{"min_w", 0}, {"max_r", -2}} << with({{"min_w", 0}, {"max_r", -2}});
        QTest::newRow("blank after comma") << QVariantMap{{"exts", "jpg, jpeg,,PNG"}}
                                           << with({{"exts", QStringList{"jpg", " jpeg", "", "PNG"}}});
    }
    void restrictions()
    {
        QFETCH(QVariantMap, announced);
        SignInFixture f;
        QVERIFY(f.ready);
        f.service.setRestrictions(announced);
        QVERIFY(f.signedIn());
        // A later sign-in whose restrictions reply holds none keeps them.
        f.service.injectFault("getRestrictions", Fault(Kind::Status, 503));
        f.signIn();
        QVERIFY(f.page.waitForCallbacks(2));
        QVERIFY(calledBack(f.page, 1, "onErr"));
        const UploadRestrictions &r = f.client.restrictions();
        QTEST((QVariantMap{{"exts", r.exts}, {"max_mpx", r.max_mpx}, {"min_mpx", r.min_mpx}, {"min_w", r.min_w},
                           {"min_h", r.min_h}, {"max_r", r.max_r}, {"q", r.q}}),
              "stored");
    }

    // The service streams a 100 MB body, a chunk whenever the client has read the
    // last, with or without announcing its length; the client stops at its limit.
    void oversizedBodyIsCutOff_data()
    {
        QTest::addColumn<QByteArray>("length");
        QTest::newRow("announced") << QByteArray("Content-Length: 104857600\r\n");
        QTest::newRow("until the connection closes") << QByteArray();
    }
    void oversizedBodyIsCutOff()
    {
        QFETCH(QByteArray, length);
        const QByteArray chunk(1024 * 1024, 'x');
        qint64 written = 0;
        ScriptedFixture f;
        QVERIFY(f.ready);
        connect(&f.server, &ScriptedHttpServer::requestReceived, this, [&](int index) {
            QTcpSocket *socket = f.server.requests.at(index).socket;
            socket->write("HTTP/1.1 200 OK\r\n" + length + "\r\n<methodResponse><params><param><value><string>");
            connect(socket, &QTcpSocket::bytesWritten, socket, [&, socket] {
                if (written < 100 * chunk.size() && socket->bytesToWrite() == 0)
                    written += socket->write(chunk);
            });
        });
        f.signIn();
        QVERIFY(f.page.waitForCallbacks(1, 60000));
        QTest::qWait(100);
        QCOMPARE(f.page.received().size(), 1);
        QVERIFY(calledBack(f.page, 0, "onErr xmlrpc -32300 .*larger than 67108864 bytes.*"));
        QVERIFY2(written < 100 * chunk.size(), qPrintable(QString::number(written))); // the client hung up first
        QVERIFY(f.client.session().token().isEmpty());
    }

    // An answer reaches the callbacks of its own call, and a client deleted with a
    // call outstanding calls nothing back.
    void silentCallDoesNotBlockOthers()
    {
        ScriptedFixture f;
        QVERIFY(f.ready);
        auto *client = new XClient(f.page.frame(), &f.page);
        QSignalSpy requests(&f.server, &ScriptedHttpServer::requestReceived);
        QString ok = "onOk", err = "onErr", other = "onOther";
        client->login(other, other);
        QVERIFY(requests.wait(10000));
        client->login(ok, err);
        QVERIFY(requests.wait(10000));
        f.server.answer(1, ScriptedHttpServer::httpAnswer(DocumentWriter::fault(9, "second")));
        QVERIFY(f.page.waitForCallbacks(1));
        delete client;
        f.server.answer(0, ScriptedHttpServer::httpAnswer("<methodResponse><params/></methodResponse>"));
        QTRY_VERIFY_WITH_TIMEOUT(!f.server.requests.at(0).socket, 5000);
        QCoreApplication::processEvents();
        QCOMPARE(f.page.received().size(), 1);
        QVERIFY(calledBack(f.page, 0, "onErr xmlrpc 9 second"));
    }

    void releases_data()
    {
        QTest::addColumn<QString>("request");   // a method and its argument: release ids, photo id, file
        QTest::addColumn<QVariantMap>("reply"); // empty: the service's own
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QVariantList>("params"); // those after the token; an uploaded file holds their data
        auto output = [](const QVariantMap &first) {
            return QVariantMap{{"status", "200"}, {"output", QVariantList{first}}};
        };
        auto upload = [](const QByteArray &data, const QString &ext) {
            return QVariantList{QVariantMap{{"data", QString(data.toBase64())}, {"ext", ext}}, "model", "Ann", "signed",
                                "2026-12-06"};
        };
        const QVariantList r1{"R1"};
        QTest::newRow("no response member") << "checkReleases R1" << output({{"x", 1}}) << "onOk" << r1;
        QTest::newRow("response that tries to become script") << "checkReleases R1" << output({{"response", breaker}})
                                                              << "onOk " + escapedBreaker << r1;
        QTest::newRow("200 with a blank")
            << "checkReleases R1" << QVariantMap{{"status", "200 "}, {"statusMessage", "odd"}} << "onErr app 200  odd"
            << r1;
        QTest::newRow("no status") << "checkReleases R1" << QVariantMap{{"output", QVariantList()}} << "onErr app  "
                                   << r1;
        QTest::newRow("refusal that tries to become script") << "checkReleases R1"
            << QVariantMap{{"status", "409"}, {"statusMessage", breaker}} << "onErr app 409 " + escapedBreaker << r1;
        QTest::newRow("attach to an unknown photo")
            << "attachReleases 1001" << QVariantMap() << "onErr app 404 Unknown photo id 1001"
            << QVariantList{"1001", "R1"};
        QTest::newRow("upper case extension")
            << "addRelease Docs/Release.PDF" << QVariantMap() << "onOk R1" << upload("%PDF", ".pdf");
        QTest::newRow("unreadable file") << "addRelease missing.pdf" << QVariantMap() << "onErr app 400 .*"
                                         << upload("", ".pdf");
    }
    void releases()
    {
        QFETCH(QString, request);
        QFETCH(QVariantMap, reply);
        QFETCH(QVariantList, params);
        SignInFixture f;
        QVERIFY(f.ready);
        QVERIFY(f.signedIn());
        const QString method = request.section(' ', 0, 0);
        f.service.injectFault(method, Fault(Kind::Reply, 0, {}, reply), reply.isEmpty() ? 0 : 1);
        QTemporaryDir files;
        QString argument = request.section(' ', 1), path = files.filePath(argument), releases = "R1", ok = "onOk",
                err = "onErr";
        if (method == "checkReleases") {
            f.client.checkReleases(argument, ok, err);
        } else if (method == "attachReleases") {
            f.client.attachReleases(argument, releases, ok, err);
        } else {
            QFile file(path);
            const QByteArray data = QByteArray::fromBase64(params.at(0).toMap().value("data").toByteArray());
            QVERIFY(data.isEmpty()
                    || (QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
                        && file.write(data) == data.size()));
            file.close();
            QString progress = "onProgress"; // never called for releases
            f.client.uploadRelease(path, "model", "Ann", "signed", "2026-12-06", ok, err, progress);
        }
        QVERIFY(f.page.waitForCallbacks(2));
        QFETCH(QString, callback);
        QVERIFY(calledBack(f.page, 1, callback));
        const ImportService::Call call = f.service.calls().last();
        QCOMPARE(call.params.mid(1), params);
        QCOMPARE(f.client.session().token(), SignInFixture::renewed(call.token)); // every reply renews
    }

    void earnings_data()
    {
        QTest::addColumn<QVariantMap>("reply"); // empty: the service's own figures
        QTest::addColumn<QString>("host");         // "missing": the host has no catalog
        QTest::addColumn<QString>("statements");
        QTest::addColumn<QString>("callback");
        QTest::addColumn<int>("rowCount");
        QTest::addColumn<QStringList>("rows"); // the first ones
        const QString head = "BEGIN IMMEDIATE,UPDATE stock,S,", lookup = "S,";
        QTest::newRow("the service's own figures") << QVariantMap() << ""
            << head + "I1," + lookup.repeated(16) + "I32," + lookup.repeated(15) + "I30,COMMIT" << "onOk" << 64
            << QStringList{"123.45 USD 0.35"};
        QVariantMap quoted = record("2026-01-0'1:1:1|2026'); DELETE FROM stockstats; /*-01-02:2:2", 1.5, "2026-12-0'6");
        quoted.insert("currency", "EUR'); DROP TABLE stock; --");
        QTest::newRow("quotes stay data") << quoted << "" << head + "I1,S,S,I4,COMMIT" << "onOk" << 6
                                          << QStringList{"1.5 EUR'); DROP TABLE stock; -- 0.3",
                                                         "0 1.5 2026-12-0'6",
                                                         "1 1 2026-01-0'1",
                                                         "2 1 2026-01-0'1",
                                                         "1 2 2026'); DELETE FROM stockstats; /*-01-02",
                                                         "2 2 2026'); DELETE FROM stockstats; /*-01-02"};
        QTest::newRow("today without day")
            << record(days(1), 1, "2026-12") << ""
            << "" << "onErr app 124 Malformed earnings reply" << 1 << QStringList{"0  0"};
        QTest::newRow("missing catalog, never created") << record(days(2)) << "missing"
                                                        << "" << "onErr app 125 Catalog unavailable" << 0 << QStringList();
    }
    void earnings()
    {
        QFETCH(QVariantMap, reply);
        QFETCH(QString, host);
        QFETCH(QString, callback);
        QFETCH(int, rowCount);
        QFETCH(QStringList, rows);
        CatalogFixture catalog;
        QVERIFY(catalog.ready);
        SignInFixture f;
        QVERIFY(f.ready);
        QVERIFY(f.signedIn());
        if (host == "missing")
            QVERIFY(QFile::remove(catalog.path));
        CatalogFixture::statements.clear();
        f.service.setEarningsRecord(reply);
        f.client.getEarnings("2026-01-01", "2026-01-31", "onOk", "onErr");
        QVERIFY(f.page.waitForCallbacks(2));
        QVERIFY(calledBack(f.page, 1, callback));
        QTEST(shape(CatalogFixture::statements), "statements");
        const QStringList stored = catalog.stored();
        QCOMPARE(stored.size(), rowCount);
        QCOMPARE(stored.mid(0, rows.size()), rows);
        QCOMPARE(QFile::exists(catalog.path), rowCount > 0);
        const ImportService::Call call = f.service.calls().last();
        QCOMPARE(call.params.mid(1), (QVariantList{"2026-01-01", "2026-01-31"}));
        QCOMPARE(f.client.session().token(), SignInFixture::renewed(call.token));
    }
};

QTEST_MAIN(TestServiceClient)
#include "tst_serviceclient.moc"
