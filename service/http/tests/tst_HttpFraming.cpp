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
            if (result.step == Step::Preflight) {
                seen.append(QStringLiteral("preflight"));
                continue;
            }
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
        const QByteArray options = "OPTIONS / HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\n\r\n";
        QTest::newRow("preflight between requests") << post("a") + options + post("b")
                                                    << QStringList{"a", "preflight", "b"};
        // Only the exact method starts a preflight; others are still refused.
        QTest::newRow("lower-case options") << QByteArray("options / HTTP/1.1\r\n\r\n") << QStringList{notPost};
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

    void preflightAnswer_data()
    {
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("expectedFields");

        const QByteArray base = "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: POST, OPTIONS\r\n";
        const QByteArray tail = "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\n";
        QTest::newRow("nothing asked") << QByteArray() << base + tail;
        QTest::newRow("headers echoed, field names any case")
            << QByteArray("access-control-request-headers:  Content-Type,X-Till \r\n")
            << base + "Access-Control-Allow-Headers: Content-Type, X-Till\r\n" + tail;
        QTest::newRow("private network") << QByteArray("Access-Control-Request-Private-Network: true\r\n")
                                         << base + "Access-Control-Allow-Private-Network: true\r\n" + tail;
        QTest::newRow("private network not asked") << QByteArray("Access-Control-Request-Private-Network: no\r\n")
                                                   << base + tail;
        // Nothing a client sends can add a line of its own to the answer.
        QTest::newRow("names that are not tokens are left out")
            << QByteArray("Access-Control-Request-Headers: a b, x\rSet-Cookie: 1, ok, \"q\"\r\n")
            << base + "Access-Control-Allow-Headers: ok\r\n" + tail;
        const QByteArray name(100, 'h');
        QByteArray many;
        for (int i = 0; i < 10; ++i)
            many += name + ',';
        QTest::newRow("bounded") << "Access-Control-Request-Headers: " + many + "\r\n"
                                 << base + "Access-Control-Allow-Headers: " + name + ", " + name + ", " + name + ", "
                + name + ", " + name + "\r\n" + tail;
    }

    void preflightAnswer()
    {
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, expectedFields);
        const QByteArray header = "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields;
        QCOMPARE(HttpFraming::framePreflight(header.chopped(2)),
                 "HTTP/1.1 204 No Content\r\n" + expectedFields + "\r\n");
    }

    void contentLength_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<qint64>("expected");

        QTest::newRow("usual") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 12\r\nHost: x") << qint64(12);
        QTest::newRow("last line, no line end") << QByteArray("POST / HTTP/1.1\r\nContent-Length:7") << qint64(7);
        QTest::newRow("first of two lines") << QByteArray("POST /\r\nContent-Length: 3\r\nContent-Length: 9") << qint64(3);
        QTest::newRow("inside another field's line") << QByteArray("POST /\r\nX-Content-Length: 4") << qint64(4);
        QTest::newRow("a colon before the name") << QByteArray("POST /\r\nX: Content-Length: 4") << qint64(0);
        QTest::newRow("a colon after the value") << QByteArray("POST /\r\nContent-Length: 5:6\r\nA: 1") << qint64(5);
        QTest::newRow("at the very start") << QByteArray("Content-Length: 8\r\n") << qint64(8);
        QTest::newRow("after other names with a C") << QByteArray("POST /C\r\nCache-Control: C\r\nConnection: Content-\r\n"
                                                                  "Content-Length: 6") << qint64(6);
        QTest::newRow("name cut off at the end") << QByteArray("POST /\r\nContent-Length") << qint64(0);
        QTest::newRow("not a number") << QByteArray("POST /\r\nContent-Length: 1e3\r\nA: 2") << qint64(0);
        QTest::newRow("other case not looked at") << QByteArray("POST /\r\ncontent-length: 5") << qint64(0);
        QTest::newRow("negative") << QByteArray("POST /\r\nContent-Length: -2\r\n") << qint64(-2);
    }

    void contentLength()
    {
        QFETCH(QByteArray, header);
        QFETCH(qint64, expected);
        QCOMPARE(HttpFraming::contentLengthOf(header), expected);
        // Also when the header is a view into a larger buffer.
        const QByteArray buffer = header + ":99\r\n\r\nbody";
        QCOMPARE(HttpFraming::contentLengthOf(QByteArray::fromRawData(buffer.constData(), header.size())), expected);
    }

    void answerFraming()
    {
        QCOMPARE(HttpFraming::frameResponse(QStringLiteral("{\"code\":0}") + QChar(0) + QStringLiteral("rest")),
                 QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-origin: *\r\nContent-Type:application/json\r\n"
                            "Content-Length:10\r\n\r\n{\"code\":0}"));
        QCOMPARE(HttpFraming::frameResponse(QStringLiteral("{\"room\":\"二楼\"}")),
                 QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-origin: *\r\nContent-Type:application/json\r\n"
                            "Content-Length:17\r\n\r\n{\"room\":\"二楼\"}"));
    }
};

QTEST_APPLESS_MAIN(tst_HttpFraming)
#include "tst_HttpFraming.moc"
