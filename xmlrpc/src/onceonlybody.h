#ifndef ONCEONLYBODY_H
#define ONCEONLYBODY_H

#include <QIODevice>

// A request body that can be read once and never rewound: Qt's network
// layer sends a POST again by itself when its connection closes before an
// answer, and it cannot when it cannot rewind the body.
class OnceOnlyBody : public QIODevice
{
public:
    explicit OnceOnlyBody(QByteArray bytes);

    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 size() const override { return total; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray bytes;
    qint64 total;
    qint64 position = 0;
};

#endif
