#include "maiaFault.h"

#include <QTest>

class TestMaiaFault : public QObject
{
    Q_OBJECT
private slots:
    void composeFault();
    void copyKeepsParentAndFault();
    void travelsInsideAVariant();
};

void TestMaiaFault::composeFault()
{
    MaiaFault fault(-32601, QStringLiteral("server error: requested method not found"));
    QCOMPARE(fault.composeFault(),
             QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<methodResponse>\n"
                            " <fault>\n"
                            "  <value>\n"
                            "   <struct>\n"
                            "    <member>\n"
                            "     <name>faultCode</name>\n"
                            "     <value>\n"
                            "      <int>-32601</int>\n"
                            "     </value>\n"
                            "    </member>\n"
                            "    <member>\n"
                            "     <name>faultString</name>\n"
                            "     <value>\n"
                            "      <string>server error: requested method not found</string>\n"
                            "     </value>\n"
                            "    </member>\n"
                            "   </struct>\n"
                            "  </value>\n"
                            " </fault>\n"
                            "</methodResponse>\n"));
}

void TestMaiaFault::copyKeepsParentAndFault()
{
    QObject owner;
    MaiaFault original(7, QStringLiteral("seven"), &owner);
    const MaiaFault copy(original);
    QCOMPARE(copy.parent(), &owner);
    QCOMPARE(copy.code(), 7);
    QCOMPARE(copy.message(), QStringLiteral("seven"));

    const MaiaFault defaults;
    QCOMPARE(defaults.code(), 0);
    QVERIFY(defaults.message().isEmpty());
    QVERIFY(!defaults.parent());
}

void TestMaiaFault::travelsInsideAVariant()
{
    const int id = QMetaType::type("MaiaFault");
    QVERIFY(id != QMetaType::UnknownType);
    const QVariant holder = QVariant::fromValue(MaiaFault(3, QStringLiteral("three")));
    QCOMPARE(holder.userType(), id);
    QVERIFY(holder.canConvert(id));
    QVERIFY(!QVariant(3).canConvert(id));
    QCOMPARE(holder.value<MaiaFault>().message(), QStringLiteral("three"));
}

QTEST_GUILESS_MAIN(TestMaiaFault)
#include "tst_maiafault.moc"
