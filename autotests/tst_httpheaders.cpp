#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"

#include <QTest>

class TestHttpHeaders : public QObject
{
    Q_OBJECT
private slots:
    void requestHeader_data();
    void requestHeader();
    void responseHeader_data();
    void responseHeader();
};

void TestHttpHeaders::requestHeader_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("method");
    QTest::addColumn<uint>("contentLength");

    const QString line = QStringLiteral("POST /import-images HTTP/1.1\r\n");
    QTest::newRow("typical") << line + "Host: x\r\nContent-Type: text/xml\r\nContent-Length: 120\r\n\r\n"
                             << true << "POST" << 120u;
    QTest::newRow("one field only") << line + "Content-Length: 12\r\n\r\n" << false << "POST" << 12u;
    QTest::newRow("same key twice is one field") << line + "Content-Length: 1\r\nContent-Length: 9\r\n\r\n"
                                                 << false << "POST" << 9u;
    QTest::newRow("GET with two fields") << "GET / HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n" << true << "GET" << 0u;
    QTest::newRow("lower-case method") << "post / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n" << false << "post" << 3u;
    QTest::newRow("PUT") << "PUT / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n" << false << "PUT" << 3u;
    QTest::newRow("empty text") << "" << false << "" << 0u;
    QTest::newRow("lower-case field name") << line + "Host: x\r\ncontent-length: 42\r\n\r\n" << true << "POST" << 0u;
    QTest::newRow("blank before colon") << line + "Host: x\r\nContent-Length : 42\r\n\r\n" << true << "POST" << 0u;
    QTest::newRow("blanks around value") << line + "Host: x\r\nContent-Length:   42   \r\n\r\n" << true << "POST" << 42u;
    QTest::newRow("later line wins") << line + "Host: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n" << true << "POST" << 6u;
    QTest::newRow("not a number") << line + "Host: x\r\nContent-Length: 4x\r\n\r\n" << true << "POST" << 0u;
    QTest::newRow("negative") << line + "Host: x\r\nContent-Length: -4\r\n\r\n" << true << "POST" << 0u;
    QTest::newRow("value keeps text before a second colon") << line + "Content-Length: 7:8\r\nHost: a:80\r\n\r\n"
                                                            << true << "POST" << 7u;
    QTest::newRow("blank line ends the header") << line + "Host: x\r\n   \r\nContent-Length: 5\r\nA: b\r\n" << false << "POST" << 0u;
    QTest::newRow("nothing read after the end") << line + "Host: x\r\n\r\nContent-Length: 5\r\n\r\n" << false << "POST" << 0u;
    QTest::newRow("line without colon skipped") << line + "garbage\r\nHost: x\r\nContent-Length: 5\r\n\r\n" << true << "POST" << 5u;
    QTest::newRow("bare LF is no line break") << "POST / HTTP/1.1\nHost: x\nContent-Length: 5\r\nA: b\r\n\r\n" << false << "POST" << 0u;
}

void TestHttpHeaders::requestHeader()
{
    QFETCH(QString, text);
    const QHttpRequestHeader header(text);
    QTEST(header.isValid(), "valid");
    QTEST(header.method(), "method");
    QTEST(header.contentLength(), "contentLength");
}

void TestHttpHeaders::responseHeader_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("fields"); // key, value, key, value, ...
    QTest::addColumn<QString>("expected");

    QTest::newRow("server answer in key order")
        << 200 << "Ok" << QStringList{"Server", "MaiaXmlRpc/0.1", "Content-Type", "text/xml", "Connection", "close"}
        << "HTTP/1.1 200 Ok\r\nConnection: close\r\nContent-Type: text/xml\r\nServer: MaiaXmlRpc/0.1\r\n\r\n";
    QTest::newRow("no fields") << 404 << "Not Found" << QStringList{} << "HTTP/1.1 404 Not Found\r\n\r\n";
    QTest::newRow("setValue replaces") << 500 << "Bad" << QStringList{"X", "1", "X", "2"} << "HTTP/1.1 500 Bad\r\nX: 2\r\n\r\n";
    QTest::newRow("keys compared exactly") << 200 << "%1" << QStringList{"x", "1", "X", "2"}
                                           << "HTTP/1.1 200 %1\r\nX: 2\r\nx: 1\r\n\r\n";
}

void TestHttpHeaders::responseHeader()
{
    QFETCH(int, code);
    QFETCH(QString, reason);
    QFETCH(QStringList, fields);
    QHttpResponseHeader header(code, reason);
    for (int i = 0; i + 1 < fields.size(); i += 2)
        header.setValue(fields.at(i), fields.at(i + 1));
    QTEST(header.toString(), "expected");
}

QTEST_GUILESS_MAIN(TestHttpHeaders)
#include "tst_httpheaders.moc"
