// Request framing on its own: what one connection's byte stream yields,
// however it arrives.

#include "service/http/HttpFraming.h"

#include <QtTest>

using HttpFraming::Step;

namespace {

// Feeds the stream in pieces of the given size, taking every request that
// is complete after each arrival; the steps seen, in order, without the
// waits in between.
QStringList frame(const QByteArray &stream, int piece)
{
    ConnectionState state;
    QStringList seen;
    for (int at = 0; at < stream.size(); at += piece) {
        state.receiveBuffer += stream.mid(at, piece);
        while (HttpFraming::remainingBytes(state) > 0) {
            const HttpFraming::Result result = HttpFraming::nextRequest(state);
            if (result.step == Step::HeaderPending || result.step == Step::BodyPending)
                break;
            if (result.step != Step::Request) {
                seen.append(QStringLiteral("stop %1").arg(int(result.step)));
                return seen;
            }
            seen.append(QString::fromUtf8(result.body));
        }
        HttpFraming::compact(state);
    }
    return seen;
}

QByteArray post(const QByteArray &body, const QByteArray &length = QByteArray())
{
    return "POST / HTTP/1.1\r\nContent-Length: " + (length.isNull() ? QByteArray::number(body.size()) : length)
        + "\r\n\r\n" + body;
}

} // namespace

class tst_HttpFraming : public QObject
{
    Q_OBJECT

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("expected");

        const QString notPost = QStringLiteral("stop %1").arg(int(Step::NotPost));
        QTest::newRow("one") << post("{}") << QStringList{"{}"};
        QTest::newRow("pipelined") << post("{\"a\":1}") + post("") + post("x") << QStringList{"{\"a\":1}", "", "x"};
        QTest::newRow("body with a blank line") << post("a\r\n\r\nb") << QStringList{"a\r\n\r\nb"};
        QTest::newRow("GET") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QStringList{notPost};
        QTest::newRow("after one request, not POST") << post("x") + "PUT / HTTP/1.1\r\n\r\n"
                                                       << QStringList{"x", notPost};
        QTest::newRow("negative length") << post("", "-1")
                                         << QStringList{QStringLiteral("stop %1").arg(int(Step::BadLength))};
        QTest::newRow("beyond the bound") << post("", QByteArray::number(HttpFraming::MaxContentLength + 1))
                                          << QStringList{QStringLiteral("stop %1").arg(int(Step::TooLarge))};
        // An unreadable length counts as 0: the body then starts the next header.
        QTest::newRow("length not a number") << post("{}", "two") + post("x") << QStringList{"", notPost};
    }

    void requests()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, expected);
        for (int piece : {1, 3, 17, stream.size()})
            QCOMPARE(frame(stream, piece), expected);
    }

    void answerFraming()
    {
        QCOMPARE(HttpFraming::frameResponse(QStringLiteral("{\"room\":\"二楼\"}")),
                 QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-origin: *\r\nContent-Type:application/json\r\n"
                            "Content-Length:17\r\n\r\n{\"room\":\"二楼\"}"));
    }
};

QTEST_APPLESS_MAIN(tst_HttpFraming)
#include "tst_HttpFraming.moc"
