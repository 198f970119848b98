#include "XClient.h"
#include "xclientprobe.h"

#include <QTest>
#include <QWebView>

// The client's hash and token renewal, against digests computed elsewhere
// (Python's hashlib).
class TestXClient : public QObject
{
    Q_OBJECT
private slots:
    void md5_data();
    void md5();
    void renewSessionId_data();
    void renewSessionId();
    void credentialsKeepOnlyThePasswordHash();
    void defaultRestrictions();
};

void TestXClient::md5_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << "" << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("abc") << "abc" << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("Latin-1 bytes") << QStringLiteral("été") << "70b06e3087350c8c4fc3f13e741879f3";
    QTest::newRow("outside Latin-1 hashes ?") << QStringLiteral("☃") << "d1457b72c3fb323a2671125aef3eab5d";
    QTest::newRow("mixed") << QStringLiteral("a☃b") << "0166d849f21a9d699d896ea2a79a375f";
}

void TestXClient::md5()
{
    QFETCH(QString, text);
    QWebView view;
    XClient client(view.page()->mainFrame(), &view);
    QTEST(XClientProbe::md5(client, text), "digest");
}

void TestXClient::renewSessionId_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("renewed");
    const QString prefix(48, QLatin1Char('T'));
    QTest::newRow("empty token") << "" << "87b7e390091136a016eebf3afe56bbe9";
    QTest::newRow("80 characters") << prefix + "0123456789abcdef0123456789abcdef"
                                   << prefix + "b7705a0191a682678c3ac2531613f551";
    QTest::newRow("shorter than 48") << "abc" << "abc483419f83c1a5b7326418c52983b8010";
}

void TestXClient::renewSessionId()
{
    QFETCH(QString, token);
    QWebView view;
    XClient client(view.page()->mainFrame(), &view);
    client.setCredentials(QStringLiteral("id"), QStringLiteral("key"), QStringLiteral("secret"));
    XClientProbe::setSessionId(client, token);
    XClientProbe::renewSessionId(client);
    QTEST(XClientProbe::sessionId(client), "renewed");
}

void TestXClient::credentialsKeepOnlyThePasswordHash()
{
    QWebView view;
    XClient client(view.page()->mainFrame(), &view);
    client.setCredentials(QStringLiteral("id"), QStringLiteral("key"), QString());
    QCOMPARE(XClientProbe::passwordHash(client), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    QVERIFY(XClientProbe::sessionId(client).isEmpty());
}

void TestXClient::defaultRestrictions()
{
    QWebView view;
    XClient client(view.page()->mainFrame(), &view);
    const QVariantMap limits = XClientProbe::restrictions(client);
    QCOMPARE(limits.value("max_mpx").toInt(), 24);
    QCOMPARE(limits.value("min_mpx").toInt(), 4);
    QCOMPARE(limits.value("min_w").toInt(), 1024);
    QCOMPARE(limits.value("min_h").toInt(), 1024);
    QCOMPARE(limits.value("max_r").toInt(), 4);
    QCOMPARE(limits.value("q").toInt(), 90);
}

QTEST_MAIN(TestXClient)
#include "tst_xclient.moc"
