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
//   pipeline-bench metadata FILE            the medians of reading FILE's metadata, and of writing a
//                                           re-encoded copy of the size sent with it and without it
#include "XClient.h"
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
    QTimer::singleShot(timeoutMs, &outcome.loop, &QEventLoop::quit);
    outcome.loop.exec();
    return outcome.ok;
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
    if (args.size() != 3 || args.at(1) != QLatin1String("upload")) {
        QTextStream(stderr) << "usage: pipeline-bench make W H FILE | upload FILE | metadata FILE\n";
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
