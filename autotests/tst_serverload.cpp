#include "maiaObject.h"
#include "maiaXmlRpcServer.h"
#include "maiaXmlRpcServerConnection.h"

#include <QAtomicInt>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QNetworkProxy>
#include <QSet>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <iterator>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SERVERLOAD_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SERVERLOAD_ASAN 1
#endif

#ifdef SERVERLOAD_ASAN
#include <sanitizer/allocator_interface.h>
#else
#include <malloc.h>
#endif

namespace {

constexpr int totalCalls = 2000;
constexpr int concurrentClients = 50;
constexpr int hostileEvery = 10;
constexpr int roundTimeoutMs = 20000;
constexpr int cleanupTimeoutMs = 5000;
constexpr int idleSockets = 200;

// What one client does. Every hostile kind but the two aborts is refused by
// the server with exactly one diagnostic.
enum class Kind { Good, AbortInHeader, AbortInBody, OneField, Get, LowerCaseLength, HugeHeader };

struct Diagnostic {
    QtMsgType type;
    const char *text;
};

struct HostileKind {
    Kind kind;
    Diagnostic diagnostic; // text is null for the client's own aborts
};

const HostileKind hostileKinds[] = {
    {Kind::AbortInHeader, {QtDebugMsg, nullptr}},
    {Kind::AbortInBody, {QtDebugMsg, nullptr}},
    {Kind::OneField, {QtDebugMsg, "Invalid Header"}},
    {Kind::Get, {QtDebugMsg, "No Post!"}},
    {Kind::LowerCaseLength, {QtDebugMsg, "No Content Length"}},
    {Kind::HugeHeader, {QtWarningMsg, "Closing a connection whose header passed 65536 bytes"}},
};

Kind kindOf(int call)
{
    if (call % hostileEvery != hostileEvery - 1)
        return Kind::Good;
    return hostileKinds[(call / hostileEvery) % std::size(hostileKinds)].kind;
}

int callsOfKind(Kind kind)
{
    int calls = 0;
    for (int call = 0; call < totalCalls; ++call)
        calls += kindOf(call) == kind;
    return calls;
}

bool isAbort(Kind kind)
{
    return kind == Kind::AbortInHeader || kind == Kind::AbortInBody;
}

// XML and non-ASCII characters, and the call's number, so no answer can pass for another's.
QString textOf(int call)
{
    return QStringLiteral("call %1 <&> \"é\" ✓").arg(call);
}

QByteArray postOf(const QByteArray &body)
{
    return "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray headerHalf(const QByteArray &request)
{
    return request.left(request.indexOf("\r\n\r\n") / 2);
}

QByteArray bodyHalf(const QByteArray &request, const QByteArray &body)
{
    return request.left(request.size() - body.size() / 2);
}

const QByteArray answerHead =
    "HTTP/1.1 200 Ok\r\nConnection: close\r\nContent-Type: text/xml\r\nServer: MaiaXmlRpc/0.1\r\n\r\n";

// Empty when the answer is the server's exact reply carrying `sent` back; else what is wrong.
QString checkAnswer(const QByteArray &answer, const QString &sent)
{
    if (!answer.startsWith(answerHead))
        return QStringLiteral("wrong head: ") + QString::fromUtf8(answer.left(200));
    QDomDocument document;
    if (!document.setContent(answer.mid(answerHead.size())))
        return QStringLiteral("body not XML: ") + QString::fromUtf8(answer.mid(answerHead.size(), 200));
    const QDomElement value = document.documentElement()
                                  .firstChildElement(QStringLiteral("params"))
                                  .firstChildElement(QStringLiteral("param"))
                                  .firstChildElement(QStringLiteral("value"));
    if (value.isNull())
        return QStringLiteral("no value: ") + document.toString(-1).left(200);
    const QVariant received = MaiaObject::fromXml(value);
    if (received != QVariant(sent))
        return QStringLiteral("sent \"%1\", got \"%2\"").arg(sent, received.toString());
    return QString();
}

// Heap in use; under AddressSanitizer malloc's own statistics see nothing.
qint64 heapInUse()
{
#ifdef SERVERLOAD_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    // glibc keeps up to seven freed small blocks of each size per thread and
    // counts them as in use; filled up, that cache weighs the same at every reading.
    constexpr int sizes = 64;
    constexpr int perSize = 8;
    void *volatile blocks[sizes * perSize];
    for (int i = 0; i < sizes * perSize; ++i)
        blocks[i] = malloc(24 + 16 * (i / perSize));
    for (int i = 0; i < sizes * perSize; ++i)
        free(blocks[i]);
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

// Connections are deleted later, and delete their sockets later still.
void flushDeletions()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int openDescriptors()
{
    // Sockets are links to nowhere, which QDir lists only as System entries.
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
}

// Counts the server's diagnostics instead of printing them; passes anything else on.
class DiagnosticCounter
{
public:
    explicit DiagnosticCounter(const QStringList &moreWarnings = {})
    {
        for (const HostileKind &hostile : hostileKinds) {
            if (hostile.diagnostic.text)
                known.insert(key(hostile.diagnostic.type, QString::fromLatin1(hostile.diagnostic.text)));
        }
        for (const QString &warning : moreWarnings)
            known.insert(key(QtWarningMsg, warning));
        instance = this;
        previous = qInstallMessageHandler(handle);
    }
    ~DiagnosticCounter()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    int count(QtMsgType type, const QString &text) const
    {
        QMutexLocker lock(&mutex);
        return counts.value(key(type, text));
    }
    int count(const Diagnostic &diagnostic) const { return count(diagnostic.type, QString::fromLatin1(diagnostic.text)); }
    QStringList others() const
    {
        QMutexLocker lock(&mutex);
        return unexpected;
    }

private:
    static QString key(QtMsgType type, const QString &text) { return QString::number(type) + QLatin1Char(' ') + text; }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        DiagnosticCounter *self = instance;
        {
            QMutexLocker lock(&self->mutex);
            if (self->known.contains(key(type, message))) {
                ++self->counts[key(type, message)];
                return;
            }
            self->unexpected << message;
        }
        self->previous(type, context, message);
    }

    static inline DiagnosticCounter *instance = nullptr;
    QtMessageHandler previous = nullptr;
    QSet<QString> known;
    mutable QMutex mutex;
    QHash<QString, int> counts;
    QStringList unexpected;
};

// Written by the client thread; read by the test only once that thread has finished.
struct Tally {
    QAtomicInt settled;
    int answered = 0; // good calls answered correctly
    int refused = 0; // refused by the server without a byte of answer
    int aborted = 0; // the client hung up in the middle of its request
    QStringList failures;
};

// How many calls, how many at a time, and whether every tenth is hostile.
struct Plan {
    int calls = totalCalls;
    int concurrent = concurrentClients;
    bool hostile = true;
};

// Event-driven clients, `plan.concurrent` at a time, until `plan.calls` have settled.
class LoadClients : public QObject
{
    Q_OBJECT
public:
    LoadClients(quint16 port, Tally *tally, Plan plan)
        : port(port)
        , tally(tally)
        , plan(plan)
    {
    }

public slots:
    void start()
    {
        for (int i = 0; i < plan.concurrent; ++i)
            launch();
    }

private:
    Kind kindOfCall(int call) const { return plan.hostile ? kindOf(call) : Kind::Good; }

    void launch()
    {
        if (next >= plan.calls)
            return;
        const int call = next++;
        auto *socket = new QTcpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        connect(socket, &QTcpSocket::connected, this, [this, socket, call] { send(socket, call); });
        connect(socket, &QTcpSocket::stateChanged, this, [this, socket, call](QAbstractSocket::SocketState state) {
            if (state == QAbstractSocket::UnconnectedState)
                settle(socket, call);
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    }

    void send(QTcpSocket *socket, int call)
    {
        const QByteArray body = MaiaObject().composeCall(QStringLiteral("echo"), {textOf(call)}).toUtf8();
        const QByteArray request = postOf(body);
        switch (kindOfCall(call)) {
        case Kind::Good:
            socket->write(request);
            return;
        case Kind::AbortInHeader:
            socket->write(headerHalf(request));
            break;
        case Kind::AbortInBody:
            socket->write(bodyHalf(request, body));
            break;
        case Kind::OneField:
            socket->write("POST /RPC2 HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
                          + body);
            return;
        case Kind::Get:
            socket->write("GET /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + QByteArray::number(body.size())
                          + "\r\n\r\n" + body);
            return;
        case Kind::LowerCaseLength:
            socket->write("POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\ncontent-length: "
                          + QByteArray::number(body.size()) + "\r\n\r\n" + body);
            return;
        case Kind::HugeHeader:
            socket->write("POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " + QByteArray(70 * 1024, 'a')
                          + "\r\n\r\n" + body);
            return;
        }
        // The aborts: out to the server, then gone without a word.
        socket->flush();
        socket->abort();
    }

    void settle(QTcpSocket *socket, int call)
    {
        const Kind kind = kindOfCall(call);
        // A socket the client aborted itself is closed for reading too.
        const QByteArray answer = isAbort(kind) ? QByteArray() : socket->readAll();
        auto fail = [&](const QString &what) {
            if (tally->failures.size() < 10)
                tally->failures << QStringLiteral("call %1: %2 (%3)").arg(call).arg(what, socket->errorString());
        };
        if (isAbort(kind)) {
            ++tally->aborted;
        } else if (answer.isEmpty()) {
            ++tally->refused;
        } else if (kind != Kind::Good) {
            fail(QStringLiteral("refused call answered: ") + QString::fromUtf8(answer.left(200)));
        } else {
            const QString problem = checkAnswer(answer, textOf(call));
            if (problem.isEmpty())
                ++tally->answered;
            else
                fail(problem);
        }
        socket->deleteLater();
        if (tally->settled.fetchAndAddOrdered(1) + 1 == plan.calls)
            thread()->quit();
        else
            launch();
    }

    const quint16 port;
    Tally *const tally;
    const Plan plan;
    int next = 0;
};

// The clients' thread, stopped and joined however the test leaves.
class ClientThread
{
public:
    ClientThread(quint16 port, Tally *tally, Plan plan = {})
    {
        auto *clients = new LoadClients(port, tally, plan);
        clients->moveToThread(&thread);
        // Deleted in its own thread, with whatever sockets are still open.
        QObject::connect(&thread, &QThread::finished, clients, &QObject::deleteLater);
        thread.start();
        QMetaObject::invokeMethod(clients, &LoadClients::start, Qt::QueuedConnection);
    }
    ~ClientThread()
    {
        thread.quit();
        if (!thread.wait(10000))
            qFatal("the client thread did not stop");
    }
    bool isFinished() const { return thread.isFinished(); }

private:
    QThread thread;
};

// Sockets that connect and go quiet at once, halfway through the header or
// halfway through the body. A few connect at a time, so none waits on a full
// listen backlog.
class IdleClients : public QObject
{
public:
    explicit IdleClients(quint16 port)
        : port(port)
    {
        const QByteArray body = MaiaObject().composeCall(QStringLiteral("echo"), {textOf(0)}).toUtf8();
        const QByteArray request = postOf(body);
        starts = {QByteArray(), headerHalf(request), bodyHalf(request, body)};
        for (int i = 0; i < 20; ++i)
            launch();
    }

    // Every socket has connected, or was turned away before it could.
    bool allIn() const { return launched == idleSockets && connecting.isEmpty(); }
    void hangUp()
    {
        hungUp = true;
        for (QTcpSocket *socket : findChildren<QTcpSocket *>())
            socket->abort();
    }

    int closedByServer = 0;
    qint64 received = 0; // an idle or refused socket gets no answer

private:
    void launch()
    {
        if (launched >= idleSockets)
            return;
        const QByteArray start = starts.at(launched++ % starts.size());
        auto *socket = new QTcpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        connecting.insert(socket);
        connect(socket, &QTcpSocket::connected, this, [this, socket, start] {
            socket->write(start);
            settle(socket);
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { received += socket->readAll().size(); });
        connect(socket, &QTcpSocket::stateChanged, this, [this, socket](QAbstractSocket::SocketState state) {
            if (state != QAbstractSocket::UnconnectedState)
                return;
            settle(socket);
            closedByServer += !hungUp;
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    }

    void settle(QTcpSocket *socket)
    {
        if (connecting.remove(socket))
            launch();
    }

    const quint16 port;
    QList<QByteArray> starts;
    QSet<QTcpSocket *> connecting;
    int launched = 0;
    bool hungUp = false;
};

} // namespace

// The answer depends on each call's own text.
class Echo : public QObject
{
    Q_OBJECT
public:
    int calls = 0;
public slots:
    QString echo(const QString &text)
    {
        ++calls;
        return text;
    }
};

class TestServerLoad : public QObject
{
    Q_OBJECT
private slots:
    void hostileClientsLeaveNothingBehind();
    void idleClientsCannotHoldTheServer_data();
    void idleClientsCannotHoldTheServer();

private:
    void runRound(MaiaXmlRpcServer &server, Echo &echo);
    void runGoodCalls(quint16 port, Tally *tally);
};

void TestServerLoad::runRound(MaiaXmlRpcServer &server, Echo &echo)
{
    const int goodCalls = callsOfKind(Kind::Good);
    echo.calls = 0;
    Tally tally;
    QElapsedTimer elapsed;
    elapsed.start();
    {
        DiagnosticCounter diagnostics;
        {
            ClientThread clients(server.serverPort(), &tally);
            QTRY_VERIFY2_WITH_TIMEOUT(clients.isFinished(),
                                      qPrintable(QStringLiteral("%1 of %2 calls settled")
                                                     .arg(tally.settled.loadAcquire())
                                                     .arg(totalCalls)),
                                      roundTimeoutMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.findChildren<MaiaXmlRpcServerConnection *>().size(), 0, cleanupTimeoutMs);
        QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(QLatin1Char('\n'))));
        QCOMPARE(tally.answered, goodCalls);
        QCOMPARE(echo.calls, goodCalls); // no refused or cut-off call reached the method
        int refusals = 0;
        for (const HostileKind &hostile : hostileKinds) {
            if (!hostile.diagnostic.text)
                continue;
            refusals += callsOfKind(hostile.kind);
            QCOMPARE(diagnostics.count(hostile.diagnostic), callsOfKind(hostile.kind));
        }
        QCOMPARE(tally.refused, refusals);
        QCOMPARE(tally.aborted, callsOfKind(Kind::AbortInHeader) + callsOfKind(Kind::AbortInBody));
        QVERIFY2(diagnostics.others().isEmpty(), qPrintable(diagnostics.others().join(QLatin1Char('\n'))));
    }
    qInfo("%d calls (%d good, %d refused, %d cut off by the client) in %lld ms", totalCalls, tally.answered,
          tally.refused, tally.aborted, elapsed.elapsed());
}

void TestServerLoad::hostileClientsLeaveNothingBehind()
{
    Echo echo;
    MaiaXmlRpcServer server(QHostAddress::LocalHost, 0);
    QVERIFY(server.serverPort() != 0);
    QCOMPARE(server.serverAddress(), QHostAddress(QHostAddress::LocalHost)); // the load stays on loopback
    server.registerMethod(QStringLiteral("echo"), &echo, "echo");

    const qint64 heapAtStart = heapInUse();
    const int descriptorsAtStart = openDescriptors();
    runRound(server, echo); // warm-up: Qt fills its caches on first use
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptorsAtStart, cleanupTimeoutMs);
    flushDeletions();
    const qint64 heapAfterWarmUp = heapInUse();

    runRound(server, echo);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptorsAtStart, cleanupTimeoutMs);
    flushDeletions();
    // A closed socket left behind keeps 1.1 to 1.4 kB, the sockets of one hostile
    // kind (33 a round) 37 to 46 kB; a sound round leaves 1.5 to 2.6 kB more.
    constexpr qint64 tolerance = 24 * 1024;
    QTRY_VERIFY2_WITH_TIMEOUT(heapInUse() - heapAfterWarmUp < tolerance,
                              qPrintable(QStringLiteral("%1 bytes more in use than after the warm-up")
                                             .arg(heapInUse() - heapAfterWarmUp)),
                              cleanupTimeoutMs);
    qInfo("heap in use: %lld at start, %lld after the warm-up, %lld after the load (%+lld); %d descriptors open",
          heapAtStart, heapAfterWarmUp, heapInUse(), heapInUse() - heapAfterWarmUp, descriptorsAtStart);
}

// Good calls only, fewer than in the load test.
constexpr Plan goodCalls{100, 10, false};

void TestServerLoad::runGoodCalls(quint16 port, Tally *tally)
{
    ClientThread clients(port, tally, goodCalls);
    QTRY_VERIFY2_WITH_TIMEOUT(clients.isFinished(),
                              qPrintable(QStringLiteral("%1 of %2 calls settled")
                                             .arg(tally->settled.loadAcquire())
                                             .arg(goodCalls.calls)),
                              roundTimeoutMs);
    QVERIFY2(tally->failures.isEmpty(), qPrintable(tally->failures.join(QLatin1Char('\n'))));
}

void TestServerLoad::idleClientsCannotHoldTheServer_data()
{
    QTest::addColumn<int>("idleTimeout"); // 0: the default
    QTest::addColumn<int>("maxConnections"); // 0: the default
    QTest::addColumn<int>("held"); // idle sockets the server keeps open
    QTest::addColumn<bool>("answeredBeside"); // good calls answered while those are held
    QTest::addColumn<int>("idleClosings");
    QTest::addColumn<int>("refusals");

    QTest::newRow("default limits") << 0 << 0 << idleSockets << true << 0 << 0;
    QTest::newRow("idle timeout") << 300 << 0 << 0 << true << idleSockets << 0;
    QTest::newRow("cap") << 0 << 20 << 20 << false << 0 << idleSockets - 20 + goodCalls.calls;
}

void TestServerLoad::idleClientsCannotHoldTheServer()
{
    QFETCH(int, idleTimeout);
    QFETCH(int, maxConnections);
    QFETCH(int, held);
    QFETCH(bool, answeredBeside);
    QFETCH(int, idleClosings);
    QFETCH(int, refusals);

    Echo echo;
    MaiaXmlRpcServer server(QHostAddress::LocalHost, 0);
    server.registerMethod(QStringLiteral("echo"), &echo, "echo");
    if (idleTimeout)
        server.setIdleTimeout(idleTimeout);
    if (maxConnections)
        server.setMaxConnections(maxConnections);
    auto connections = [&server] { return server.findChildren<MaiaXmlRpcServerConnection *>().size(); };
    const QString closing =
        QStringLiteral("Closing a connection from 127.0.0.1 idle for %1 ms").arg(server.idleTimeout());
    const QString refusing = QStringLiteral("Refusing a connection from 127.0.0.1 with %1 connections already open")
                                 .arg(server.maxConnections());
    const int descriptorsAtStart = openDescriptors();
    DiagnosticCounter diagnostics({closing, refusing});
    {
        IdleClients idle(server.serverPort());
        QTRY_VERIFY2_WITH_TIMEOUT(idle.allIn() && connections() + idle.closedByServer == idleSockets,
                                  qPrintable(QStringLiteral("%1 held, %2 closed by the server")
                                                 .arg(connections())
                                                 .arg(idle.closedByServer)),
                                  roundTimeoutMs);

        Tally beside;
        runGoodCalls(server.serverPort(), &beside);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(beside.answered, answeredBeside ? goodCalls.calls : 0);
        QCOMPARE(beside.refused, goodCalls.calls - beside.answered);
        QTRY_COMPARE_WITH_TIMEOUT(idle.closedByServer, idleSockets - held, cleanupTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(connections(), held, cleanupTimeoutMs);

        // Once the idle ones are gone, every call is answered again.
        idle.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(connections(), 0, cleanupTimeoutMs);
        Tally after;
        runGoodCalls(server.serverPort(), &after);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(after.answered, goodCalls.calls);
        QCOMPARE(echo.calls, beside.answered + after.answered);
        QCOMPARE(idle.received, 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(connections(), 0, cleanupTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptorsAtStart, cleanupTimeoutMs);
    QCOMPARE(diagnostics.count(QtWarningMsg, closing), idleClosings);
    QCOMPARE(diagnostics.count(QtWarningMsg, refusing), refusals);
    QVERIFY2(diagnostics.others().isEmpty(), qPrintable(diagnostics.others().join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestServerLoad)
#include "tst_serverload.moc"
