// codec-bench: composes and parses XML-RPC documents with our library, the
// way the client and the server do (UTF-8 bytes in and out), and prints
// "codec CASE OPERATION MB/s" lines for the benchmark runner.
#include "documentreader.h"
#include "documentwriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QTextStream>

namespace {

// Receives the one outcome of a parsed response.
struct Case {
    const char *name;
    QVariant payload;
};

// Runs `work` repeatedly for about `budgetMs`, at most `maxRounds` times; returns ms per round.
template<typename Work>
double timePerRound(Work work, int budgetMs = 1500, int maxRounds = 2000)
{
    work(); // warm up
    QElapsedTimer timer;
    timer.start();
    int rounds = 0;
    while (rounds < maxRounds && (rounds == 0 || timer.elapsed() < budgetMs)) {
        work();
        ++rounds;
    }
    return double(timer.nsecsElapsed()) / 1e6 / rounds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QVariantMap members;
    for (int i = 0; i < 1000; ++i)
        members.insert(QStringLiteral("member%1").arg(i, 4, 10, QLatin1Char('0')),
                       i % 3 == 0 ? QVariant(i) : i % 3 == 1 ? QVariant(QStringLiteral("text %1").arg(i)) : QVariant(i * 0.5));
    const Case cases[] = {
        {"struct-1000", members},
        {"string-4MB", QString(4 * 1024 * 1024, QLatin1Char('x'))},
        // Escaping must stay linear: every '&' becomes five characters.
        {"letters-400k", QString(400000, QLatin1Char('x'))},
        {"amps-400k", QString(400000, QLatin1Char('&'))},
    };

    QTextStream out(stdout);
    QMap<QByteArray, double> composeMs;
    for (const Case &c : cases) {
        const QByteArray call = DocumentWriter::call(QStringLiteral("echo"), {c.payload});
        const double size = call.size() / 1e6;

        const double compose = timePerRound([&] { DocumentWriter::call(QStringLiteral("echo"), {c.payload}); });
        composeMs.insert(c.name, compose);
        const double parse = timePerRound([&] { DocumentReader::readCall(call).arguments(); });
        const QByteArray response = DocumentWriter::response(c.payload);
        int results = 0;
        const double parseResponse = timePerRound([&] {
            results += DocumentReader::readResponse(response).outcome == DocumentReader::Read;
        });
        out << "codec " << c.name << " compose-call " << size / (compose / 1000) << '\n'
            << "codec " << c.name << " parse-call " << size / (parse / 1000) << '\n'
            << "codec " << c.name << " parse-response " << size / (parseResponse / 1000) << '\n';
        if (results == 0)
            return 1;
    }
    out << "escaping amps-400k/letters-400k compose-time " << composeMs["amps-400k"] / composeMs["letters-400k"] << '\n';
    return 0;
}

