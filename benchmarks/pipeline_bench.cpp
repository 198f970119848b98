// pipeline-bench: the photo upload pipeline, timed.
//   pipeline-bench make WIDTH HEIGHT FILE   writes a photo-like JPEG (quality 90)
//   pipeline-bench upload FILE              signs in to an in-process simulator and uploads
//                                           FILE, printing the preparation time (uploadImage
//                                           until stage 0 is handed over), the whole upload
//                                           time and the peak resident memory
#include "XClient.h"
#include "importservice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QNetworkProxy>
#include <QTextStream>
#include <QWebFrame>
#include <QWebPage>

#include <sys/resource.h>

namespace {

int makePhoto(int width, int height, const QString &file)
{
    // Smooth areas and fine detail, so the encoder works as on a real photo.
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = ((x * 7919 + y * 104729) ^ (x * y)) & 31;
            line[x] = qRgb((x * 255 / width + noise) & 255, (y * 255 / height + noise) & 255, (x + y + noise) & 255);
        }
    }
    return image.save(file, "JPEG", 90) ? 0 : 1;
}

bool waitFor(QWebFrame *frame, const char *flag, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (frame->evaluateJavaScript(QString::fromLatin1(flag)).toBool())
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if (args.size() == 5 && args.at(1) == QLatin1String("make"))
        return makePhoto(args.at(2).toInt(), args.at(3).toInt(), args.at(4));
    if (args.size() != 3 || args.at(1) != QLatin1String("upload")) {
        QTextStream(stderr) << "usage: pipeline-bench make W H FILE | upload FILE\n";
        return 2;
    }

    ImportService service;
    if (!service.listen(0))
        return 1;
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), service.port()));
    QWebPage page;
    QWebFrame *frame = page.mainFrame();
    frame->setHtml(QStringLiteral("<script>var done = false, failed = false;"
                                  "function ok() { done = true; } function err() { failed = done = true; }"
                                  "function progress() {}</script>"));
    XClient client(frame, &page);
    client.setCredentials(ImportService::demoClientId, ImportService::demoClientKey, ImportService::demoPassword);
    QString ok = QStringLiteral("ok"), err = QStringLiteral("err"), progress = QStringLiteral("progress");
    client.login(ok, err);
    if (!waitFor(frame, "done", 30000) || frame->evaluateJavaScript(QStringLiteral("failed")).toBool())
        return 1;
    frame->evaluateJavaScript(QStringLiteral("done = false;"));

    QString file = args.at(2);
    QVariant meta = QVariantMap{{"title", "Benchmark"}};
    QElapsedTimer timer;
    timer.start();
    client.uploadImage(file, meta, ok, err, progress);
    const double prepareMs = timer.nsecsElapsed() / 1e6;
    if (!waitFor(frame, "done", 120000) || frame->evaluateJavaScript(QStringLiteral("failed")).toBool())
        return 1;
    const double uploadMs = timer.nsecsElapsed() / 1e6;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const QImage sent = QImage::fromData(service.photos().value(0).bytes, "JPEG");
    out << "pipeline prepare-ms " << prepareMs << " upload-ms " << uploadMs << " peak-rss-mb "
        << usage.ru_maxrss / 1024.0 << " file-mb " << QFileInfo(args.at(2)).size() / 1e6 << " sent "
        << sent.width() << 'x' << sent.height() << '\n';
    return 0;
}
