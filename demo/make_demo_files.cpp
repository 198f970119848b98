// make-demo-files: generated photos and a release for the demo session.
#include <QColorSpace>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QTextStream>

namespace {

// A landscape-like picture: sky, hills and a sun, so that thumbnails show something.
QImage landscape(int width, int height, QColor sky)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 0, height);
    gradient.setColorAt(0, sky.lighter(140));
    gradient.setColorAt(0.6, sky);
    gradient.setColorAt(1, QColor(40, 90, 40));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 220, 120));
    painter.drawEllipse(QPointF(width * 0.75, height * 0.25), height * 0.08, height * 0.08);
    painter.setBrush(QColor(50, 110, 50));
    QPolygonF hills;
    hills << QPointF(0, height);
    for (int i = 0; i <= 8; ++i)
        hills << QPointF(width * i / 8.0, height * (0.62 + 0.08 * ((i * 37) % 5) / 4.0));
    hills << QPointF(width, height);
    painter.drawPolygon(hills);
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: make-demo-files FOLDER\n";
        return 2;
    }
    QDir folder(args.at(1));
    if (!folder.mkpath(QStringLiteral("."))) {
        QTextStream(stderr) << "make-demo-files: cannot create " << args.at(1) << '\n';
        return 1;
    }
    const struct {
        const char *name;
        int width;
        int height;
        QColor sky;
    } photos[] = {
        {"accepted.jpg", 3000, 2000, QColor(90, 150, 220)},   // 6 MP: within every limit
        {"oversized.jpg", 7000, 4500, QColor(220, 140, 90)},  // 31.5 MP: scaled to 23 MP
        {"too-small.jpg", 800, 600, QColor(150, 120, 200)},   // below 1024 pixels: refused
    };
    for (const auto &photo : photos) {
        QImage image = landscape(photo.width, photo.height, photo.sky);
        image.setColorSpace(QColorSpace::DisplayP3); // written as an ICC profile
        if (!image.save(folder.filePath(QLatin1String(photo.name)), "JPEG", 92)) {
            QTextStream(stderr) << "make-demo-files: cannot write " << photo.name << '\n';
            return 1;
        }
    }
    QFile release(folder.filePath(QStringLiteral("release.pdf")));
    if (!release.open(QIODevice::WriteOnly))
        return 1;
    release.write("%PDF-1.4\n% Demo model release, signed by the model.\n%%EOF\n");
    return 0;
}
