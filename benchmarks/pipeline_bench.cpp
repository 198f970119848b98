// pipeline-bench: the photo upload pipeline, timed.
//   pipeline-bench make WIDTH HEIGHT FILE [noisy]
//                                           writes a photo-like JPEG (quality 90, Display P3 profile);
//                                           noisy: with a camera's sensor noise on every pixel, which
//                                           smooth generated photos lack and which sets the coders' work
//   pipeline-bench upload FILE              signs in to a vendalux-sim process of its own and
//                                           uploads FILE, printing the preparation time (the call
//                                           until stage 0 is handed to the network), the whole
//                                           upload time, the longest gap between the ticks of a
//                                           5 ms timer on the GUI thread during the upload, and
//                                           the peak resident memory before and after it
//   pipeline-bench field FILE               uploads FILE 20 times under distinct titles, without faults and
//                                           then with a field fault (a lost reply, drops, a stall, an
//                                           HTTP 503) every few calls, and prints both times, their ratio,
//                                           the titles stored, each of them once, and the pages' errors
//   pipeline-bench metadata FILE            the medians of reading FILE's metadata, and of writing a
//                                           re-encoded copy of the size sent with it and without it
#include "XClient.h"
#include "maiaCall.h"
#include "maiaXmlRpcClient.h"
#include "importservice.h"
#include "jpegrecoder.h"
#include "photometadata.h"
#include "photopreparation.h"

#include <QApplication>
#include <QBuffer>
#include <QColorSpace>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QNetworkProxyFactory>
#include <QProcess>
#include <QTemporaryFile>
#include <QTextStream>
#include <QTimer>
#include <QWebFrame>
#include <QWebPage>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <functional>

namespace {

int makePhoto(int width, int height, const QString &file, bool noisy)
{
    // Smooth areas and fine detail, so the encoder works as on a real photo.
    QImage image(width, height, QImage::Format_RGB32);
    quint32 state = 2463534242u; // xorshift: the same grain every run
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = ((x * 7919 + y * 104729) ^ (x * y)) & 31;
            int grain[3] = {};
            for (int c = 0; c < 3 && noisy; ++c) { // each channel its own, as a sensor's
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                grain[c] = int(state % 9) - 4;
            }
            line[x] = qRgb(qBound(0, ((x * 255 / width + noise) & 255) + grain[0], 255),
                           qBound(0, ((y * 255 / height + noise) & 255) + grain[1], 255),
                           qBound(0, ((x + y + noise) & 255) + grain[2], 255));
        }
    }
    image.setColorSpace(QColorSpace::DisplayP3); // written as an ICC profile, as cameras set for wide gamut
    return image.save(file, "JPEG", 90) ? 0 : 1;
}

// What copying the metadata adds to preparation: reading it from the photo,
// and writing the re-encoded copy with it rather than without; medians of 15.
int timeMetadata(const QString &file, QTextStream &out)
{
    QFile source(file);
    if (!source.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray photo = source.readAll();
    JpegRecoder recoder(photo);
    const QSize size = PhotoPreparation::targetSize(recoder.size(), 24);
    QBuffer encoded;
    if (!encoded.open(QIODevice::WriteOnly) || recoder.recode(size, 90, &encoded) != JpegRecoder::Outcome::Recoded)
        return 1;
    QTemporaryFile copy;
    const auto timeWriting = [&copy](const std::function<void()> &write) {
        copy.open();
        copy.resize(0);
        QElapsedTimer clock;
        clock.start();
        write();
        copy.close();
        return clock.nsecsElapsed() / 1e6;
    };
    QVector<double> reads, withMetadata, without;
    for (int run = 0; run < 15; ++run) {
        QElapsedTimer clock;
        clock.start();
        const PhotoMetadata metadata(photo);
        reads << clock.nsecsElapsed() / 1e6;
        withMetadata << timeWriting([&] { metadata.write(encoded.data(), size, &copy); });
        without << timeWriting([&] { copy.write(encoded.data()); });
    }
    for (QVector<double> *times : {&reads, &withMetadata, &without})
        std::sort(times->begin(), times->end());
    out << "read " << reads.at(7) << " ms write " << withMetadata.at(7) << " ms, without " << without.at(7) << " ms"
        << Qt::endl;
    return 0;
}

double peakMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// The simulator's port for every request, noting when a request is handed
// to the network: Qt asks for its proxy right then.
class StampingProxy : public QNetworkProxyFactory
{
public:
    StampingProxy(quint16 port, const QElapsedTimer &clock) : port(port), clock(clock) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &) override
    {
        qint64 unset = -1;
        firstAfterStart.compare_exchange_strong(unset, armed ? clock.nsecsElapsed() : -1);
        return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port)};
    }
    std::atomic<bool> armed{false};
    std::atomic<qint64> firstAfterStart{-1};

private:
    const quint16 port;
    const QElapsedTimer &clock;
};

// The page's callbacks end the wait for them.
class Outcome : public QObject
{
    Q_OBJECT
public:
    QEventLoop loop;
    bool ok = false;
public slots:
    void done(bool succeeded)
    {
        ok = succeeded;
        loop.quit();
    }
};

bool waitForOutcome(Outcome &outcome, int timeoutMs)
{
    outcome.ok = false;
    QTimer limit; // its own: a single shot left from an earlier wait would end a later one
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &outcome.loop, &QEventLoop::quit);
    limit.start(timeoutMs);
    outcome.loop.exec();
    return outcome.ok;
}

// A call to the simulator's control methods (through the proxy, the simulator itself), waited for.
QVariant control(quint16 port, const QString &method, const QVariantList &args)
{
    MaiaXmlRpcClient rpc(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)));
    MaiaCall *call = rpc.call(method, args);
    QEventLoop loop;
    QObject::connect(call, &MaiaCall::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return call->isFinished() && !call->isFault() ? call->result() : QVariant();
}

constexpr int batchSize = 20;

// One batch of photos, each under its own title; the errors the page heard.
int uploadBatch(XClient &client, Outcome &outcome, QString file, const QString &run)
{
    QString ok = QStringLiteral("ok"), err = QStringLiteral("err"), progress = QStringLiteral("progress");
    int errors = 0;
    for (int i = 0; i < batchSize; ++i) {
        QVariant meta = QVariantMap{{"title", run + QString::number(i)}};
        client.uploadImage(file, meta, ok, err, progress);
        errors += !waitForOutcome(outcome, 300000);
    }
    return errors;
}

// Of the titles stored, those of `run`: how many, and how many distinct.
QPair<int, int> stored(quint16 port, const QString &run)
{
    QStringList titles;
    for (const QVariant &photo : control(port, QStringLiteral("sim.storedPhotos"), {}).toList()) {
        const QString title = photo.toMap().value(QStringLiteral("title")).toString();
        if (title.startsWith(run))
            titles << title;
    }
    const int all = titles.size();
    titles.removeDuplicates();
    return {all, titles.size()};
}

int fieldBatch(XClient &client, Outcome &outcome, const QString &file, quint16 port, QTextStream &out)
{
    client.setCallTimeout(3000); // a stall costs this, not the 30 s of a real session
    QElapsedTimer clock;
    clock.start();
    const int cleanErrors = uploadBatch(client, outcome, file, QStringLiteral("clean"));
    const double cleanMs = clock.elapsed();
    // Each fault waits for that many addPhoto calls after the one before it.
    // Drops, stalls and 503s fall on stages 0-2 (a last stage is never sent again); lost replies anywhere.
    const QList<QVariantList> faults{{"lost", 1, 0, 6}, {"drop", 3, 0, 5}, {"stall", 1, 0, 6}, {"http", 2, 503, 5},
                                     {"lost", 1, 0, 7}, {"drop", 2, 0, 9}, {"lost", 1, 0, 7}, {"http", 1, 502, 5}};
    for (const QVariantList &f : faults) {
        const QVariantList args{"addPhoto", f.at(0), f.at(1), f.at(2), "injected", f.at(3)};
        if (control(port, QStringLiteral("sim.injectFault"), args).toMap().value("status").toString() != "200")
            return 1;
    }
    clock.restart();
    const int fieldErrors = uploadBatch(client, outcome, file, QStringLiteral("field"));
    const double fieldMs = clock.elapsed();
    const QPair<int, int> clean = stored(port, QStringLiteral("clean")), field = stored(port, QStringLiteral("field"));
    out << "field photos " << batchSize << " clean-ms " << cleanMs << " field-ms " << fieldMs << " ratio "
        << fieldMs / cleanMs << " stored-clean " << clean.first << " distinct " << clean.second << " stored-field "
        << field.first << " distinct " << field.second << " page-errors-clean " << cleanErrors << " page-errors-field "
        << fieldErrors << '\n';
    return clean == qMakePair(batchSize, batchSize) && field == qMakePair(batchSize, batchSize) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if ((args.size() == 5 || args.size() == 6) && args.at(1) == QLatin1String("make"))
        return makePhoto(args.at(2).toInt(), args.at(3).toInt(), args.at(4), args.value(5) == QLatin1String("noisy"));
    if (args.size() == 3 && args.at(1) == QLatin1String("metadata"))
        return timeMetadata(args.at(2), out);
    if (args.size() != 3 || (args.at(1) != QLatin1String("upload") && args.at(1) != QLatin1String("field"))) {
        QTextStream(stderr) << "usage: pipeline-bench make W H FILE | upload FILE | field FILE | metadata FILE\n";
        return 2;
    }

    QProcess simulator;
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start(QStringLiteral(SIMULATOR), {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet")});
    if (!simulator.waitForStarted(10000) || !simulator.waitForReadyRead(10000))
        return 1;
    const quint16 port = simulator.readLine().trimmed().toUShort();
    QElapsedTimer clock;
    clock.start();
    auto *proxy = new StampingProxy(port, clock);
    QNetworkProxyFactory::setApplicationProxyFactory(proxy); // owned by Qt from here on

    QWebPage page;
    QWebFrame *frame = page.mainFrame();
    Outcome outcome;
    frame->setHtml(QStringLiteral("<script>function ok() { outcome.done(true); } function err() { outcome.done(false); }"
                                  "function progress() {}</script>"));
    frame->addToJavaScriptWindowObject(QStringLiteral("outcome"), &outcome);
    XClient client(frame, &page);
    client.setCredentials(ImportService::demoClientId, ImportService::demoClientKey, ImportService::demoPassword);
    QString ok = QStringLiteral("ok"), err = QStringLiteral("err"), progress = QStringLiteral("progress");
    client.login(ok, err);
    if (!waitForOutcome(outcome, 30000))
        return 1;
    const double baseMb = peakMb();
    if (args.at(1) == QLatin1String("field")) {
        const int status = fieldBatch(client, outcome, args.at(2), port, out);
        simulator.kill();
        simulator.waitForFinished(5000);
        return status;
    }

    // The longest a tick of the GUI thread had to wait, upload included.
    qint64 lastTick = clock.nsecsElapsed();
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = qMax(longestGap, now - lastTick);
        lastTick = now;
    });
    ticker.start(5);

    QString file = args.at(2);
    QVariant meta = QVariantMap{{"title", "Benchmark"}};
    proxy->armed = true;
    const qint64 start = clock.nsecsElapsed();
    client.uploadImage(file, meta, ok, err, progress);
    const bool uploaded = waitForOutcome(outcome, 120000);
    const double uploadMs = (clock.nsecsElapsed() - start) / 1e6;
    const qint64 gap = qMax(longestGap, clock.nsecsElapsed() - lastTick);
    ticker.stop();
    if (!uploaded || proxy->firstAfterStart < 0)
        return 1;
    out << "pipeline prepare-ms " << (proxy->firstAfterStart - start) / 1e6 << " upload-ms " << uploadMs
        << " stall-ms " << gap / 1e6 << " peak-rss-mb " << peakMb() << " base-rss-mb " << baseMb << '\n';
    simulator.kill();
    simulator.waitForFinished(5000);
    return 0;
}

#include "pipeline_bench.moc"
