#include "planeresampler.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <vector>

static constexpr unsigned char mark = 0xa5; // in each row's padding of three: never read, never written

// A plane of `size` in `bytes`, with the slack the resampler may read past its end.
static PlaneResampler::Plane plane(QSize size, std::vector<unsigned char> &bytes)
{
    bytes.assign(std::size_t(size.width() + 3) * size.height() + PlaneResampler::slack, mark);
    return {bytes.data(), size.width(), size.height(), size.width() + 3};
}

// The weights of each input sample for an output sample centred at `center`:
// a triangle reaching `scale` samples (at least one) each way, normalised over
// the samples that exist. Double precision, no window, no fixed point.
static std::vector<double> triangle(int inSize, double center, double scale)
{
    const double reach = std::max(scale, 1.0);
    std::vector<double> weights(inSize);
    double sum = 0;
    for (int i = 0; i < inSize; ++i)
        sum += weights[i] = std::max(0.0, 1 - std::abs(i + 0.5 - center) / reach);
    for (double &w : weights)
        w /= sum;
    return weights;
}

class TestPlaneResampler : public QObject
{
    Q_OBJECT

private slots:
    void scale_data()
    {
        QTest::addColumn<QSize>("in");
        QTest::addColumn<QSize>("out");
        QTest::addColumn<int>("fill"); // a constant value, or -1: noise
        QTest::addColumn<double>("tolerance"); // from the reference, per sample
        // Vectors take 16 samples of a row, or 4 outputs of 4 or 8 taps; widths around them leave tails.
        QTest::newRow("halved, whole vectors") << QSize(64, 32) << QSize(32, 16) << -1 << 1.0;
        QTest::newRow("width 17: a vector and a tail") << QSize(34, 35) << QSize(17, 17) << -1 << 1.0;
        QTest::newRow("by 1.5: four taps") << QSize(45, 46) << QSize(30, 31) << -1 << 1.0;
        QTest::newRow("by 3.06: eight taps") << QSize(101, 37) << QSize(33, 12) << -1 << 1.0;
        QTest::newRow("by 10: 21 taps, an odd count") << QSize(203, 50) << QSize(20, 5) << -1 << 1.0;
        QTest::newRow("enlarged") << QSize(7, 5) << QSize(23, 17) << -1 << 1.0;
        QTest::newRow("rows only") << QSize(40, 40) << QSize(40, 13) << -1 << 1.0;
        QTest::newRow("columns only: the input read in place") << QSize(40, 40) << QSize(13, 40) << -1 << 1.0;
        QTest::newRow("one column") << QSize(1, 30) << QSize(1, 7) << -1 << 1.0;
        QTest::newRow("one row") << QSize(30, 1) << QSize(7, 1) << -1 << 1.0;
        QTest::newRow("identity, exact") << QSize(37, 9) << QSize(37, 9) << -1 << 0.0;
        // Weights sum to exactly one: flat areas stay flat, white stays white.
        QTest::newRow("flat 255, by 3.06") << QSize(101, 37) << QSize(33, 12) << 255 << 0.0;
        QTest::newRow("flat 0, by 10") << QSize(203, 50) << QSize(20, 5) << 0 << 0.0;
        QTest::newRow("flat 201, by 1.5") << QSize(45, 46) << QSize(30, 31) << 201 << 0.0;
        QTest::newRow("flat 254, enlarged") << QSize(7, 5) << QSize(23, 17) << 254 << 0.0;
    }

    // Every output sample is the reference's within the tolerance, and the
    // padding of the output rows is left as it was.
    void scale()
    {
        QFETCH(QSize, in);
        QFETCH(QSize, out);
        QFETCH(int, fill);
        QFETCH(double, tolerance);
        std::vector<unsigned char> inBytes, outBytes;
        const PlaneResampler::Plane from = plane(in, inBytes), to = plane(out, outBytes);
        QRandomGenerator noise(qHash(QByteArray(QTest::currentDataTag())));
        for (int y = 0; y < in.height(); ++y)
            for (int x = 0; x < in.width(); ++x)
                from.row(y)[x] = fill < 0 ? noise.bounded(256) : fill;
        const double scaleX = double(in.width()) / out.width(), scaleY = double(in.height()) / out.height();
        PlaneResampler::scale(from, to, scaleX, scaleY);

        double worst = 0;
        for (int y = 0; y < out.height(); ++y) {
            const std::vector<double> down = triangle(in.height(), (y + 0.5) * scaleY, scaleY);
            for (int x = 0; x < out.width(); ++x) {
                const std::vector<double> across = triangle(in.width(), (x + 0.5) * scaleX, scaleX);
                double expected = 0;
                for (int j = 0; j < in.height(); ++j)
                    for (int i = 0; i < in.width(); ++i)
                        expected += down[j] * across[i] * from.row(j)[i];
                worst = std::max(worst, std::abs(to.row(y)[x] - expected));
            }
            QCOMPARE(QByteArray(reinterpret_cast<char *>(to.row(y)) + out.width(), 3), QByteArray(3, char(mark)));
        }
        QVERIFY2(worst <= tolerance + 1e-9, qPrintable(QString::number(worst)));
    }
};

QTEST_APPLESS_MAIN(TestPlaneResampler)
#include "tst_planeresampler.moc"
