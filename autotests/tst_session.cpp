#include "session.h"

#include <QTest>

// The session token's renewal, against digests computed by Python's hashlib,
// and the rule for when a call moves the token on.
class TestSession : public QObject
{
    Q_OBJECT
private slots:
    void renewal_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("issued");
        QTest::addColumn<QString>("renewed");
        const QString prefix(48, 'A');
        QTest::newRow("empty token") << "demo-password" << "demo-key" << ""
                                     << "ff63891dba3d25f8cc59d6398c38cdd1";
        QTest::newRow("80 characters") << "demo-password" << "demo-key"
                                       << prefix + "0123456789abcdef0123456789abcdef"
                                       << prefix + "c7bc29b556f33b1644f115dafab8aa32";
        QTest::newRow("short token kept whole") << "demo-password" << "demo-key" << "abc"
                                                << "abc38d4658d3293325da24f2f504a77f735";
        QTest::newRow("not Latin-1 hashes '?'") << QStringLiteral("été☃") << QStringLiteral("k€") << ""
                                                << "65c12996dbffbe4a1e78f099be71f59d";
    }
    void renewal()
    {
        QFETCH(QString, password);
        QFETCH(QString, key);
        QFETCH(QString, issued);
        Session session;
        session.setCredentials("id", key, password);
        session.open(issued);
        QTEST(session.token(), "renewed");
    }

    void rule_data()
    {
        QTest::addColumn<QList<int>>("ends");
        QTest::addColumn<int>("renewals");
        const int fault = int(Session::CallEnd::Fault), reply = int(Session::CallEnd::Reply),
                  failedStep = int(Session::CallEnd::FailedSignInStep);
        QTest::newRow("a reply, whatever its status") << QList<int>{reply} << 1;
        QTest::newRow("a fault") << QList<int>{fault} << 0;
        QTest::newRow("a failed sign-in step") << QList<int>{failedStep} << 0;
        QTest::newRow("mixed") << QList<int>{reply, fault, failedStep, reply} << 2;
    }
    void rule()
    {
        QFETCH(QList<int>, ends);
        QFETCH(int, renewals);
        Session session, expected;
        for (Session *s : {&session, &expected}) {
            s->setCredentials("id", "demo-key", "demo-password");
            s->open(QString(48, 'B') + QString(32, '0'));
        }
        for (const int end : ends)
            session.callEnded(Session::CallEnd(end));
        for (int i = 0; i < renewals; ++i)
            expected.renew();
        QCOMPARE(session.token(), expected.token());
    }
};

QTEST_APPLESS_MAIN(TestSession)
#include "tst_session.moc"
