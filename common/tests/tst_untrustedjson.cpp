#include "common/UntrustedJson.h"

#include <QtTest>

// Text from other hosts that repeats a key is refused before Qt's parser,
// which would lose memory on it; everything else reads as the parser reads it.
class TestUntrustedJson : public QObject
{
    Q_OBJECT

private slots:
    void parseObject_data();
    void parseObject();
};

void TestUntrustedJson::parseObject_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("refused");

    QTest::newRow("repeated key after an array") << QByteArray(R"({"a":[1],"a":2})") << true;
    QTest::newRow("repeated key after an object, text broken later")
        << QByteArray(R"({"":{"d":4},"":9,"time":"5"} trailing {)") << true;
    QTest::newRow("repeated in a nested object") << QByteArray(R"({"data":{"x":{"y":1},"x":1}})") << true;
    QTest::newRow("same key written with an escape") << QByteArray(R"({"a":{"b":1}, "\u0061" :2})") << true;
    QTest::newRow("repeated scalar") << QByteArray(R"({"a":1,"a":2})") << true;
    QTest::newRow("same key in sibling objects") << QByteArray(R"({"a":{"k":1},"b":{"k":2},"c":[{"k":3},{"k":4}]})") << false;
    QTest::newRow("values that look like keys") << QByteArray(R"({"a":"a","b":["a","b:"],"c":"\":"})") << false;
    QTest::newRow("status report") << QByteArray(R"({"query":"stbInfo","account":"1001","roomName":"Room 8"})") << false;
}

void TestUntrustedJson::parseObject()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, refused);

    QCOMPARE(UntrustedJson::hasRepeatedKey(text), refused);
    const QJsonObject object = UntrustedJson::parseObject(text);
    if (refused)
        QCOMPARE(object, QJsonObject());
    else
        QCOMPARE(object, QJsonDocument::fromJson(text).object());
}

QTEST_GUILESS_MAIN(TestUntrustedJson)
#include "tst_untrustedjson.moc"
