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
    QTest::newRow("escaped key first, then raw") << QByteArray(R"({"\u0061":1,"a":{"b":2}})") << true;
    QTest::newRow("two escapes of one key") << QByteArray(R"({"\u0061":1,"\u0041":2,"\u0061":[]})") << true;
    // Invalid UTF-8 decodes to U+FFFD, so these differing bytes name one key.
    QTest::newRow("different invalid UTF-8, same decoded key") << QByteArray("{\"a\xff\":1,\"a\xfe\":{}}") << true;
    QTest::newRow("invalid UTF-8 and escaped U+FFFD") << QByteArray("{\"\xff\":1,\"\\ufffd\":2}") << true;
    QTest::newRow("non-ASCII key, raw then escaped") << QByteArray("{\"caf\xc3\xa9\":1,\"caf\\u00e9\":2}") << true;
    QTest::newRow("non-ASCII key, escaped then raw") << QByteArray("{\"\\u00e9\":1,\"\xc3\xa9\":2}") << true;
    QTest::newRow("keys differing only in length") << QByteArray(R"({"Msg":1,"Ms":2,"Msg2":3,"":4,"M":{"Msg":5}})") << false;
    QTest::newRow("long value hiding a key") << QByteArray(
        R"({"data":"<table class=\"receipt\"><tr><td>\\\"data\":1\\</td></tr></table>","Name":"x"})") << false;
    QTest::newRow("long value with escapes, then a repeat") << QByteArray(
        R"({"data":"<p class=\"total\">12.50 \u20ac</p><p>\\</p>\\","data":2})") << true;
    QTest::newRow("escape of a quote keeps the key open") << QByteArray(R"({"a\":1,"a":2})") << false;

    // Past the keys compared one by one, and deeper than the levels held inline.
    QByteArray manyKeys = "{";
    for (int key = 0; key < 300; ++key)
        manyKeys += "\"k" + QByteArray::number(key) + "\":" + QByteArray::number(key) + ",";
    QTest::newRow("many distinct keys") << QByteArray(manyKeys + R"("k":0})") << false;
    QTest::newRow("many keys, repeat near the end") << QByteArray(manyKeys + R"("k297":0})") << true;
    QTest::newRow("many keys, escaped repeat of an early one") << QByteArray(manyKeys + R"("k\u0032":0})") << true;
    QByteArray deep;
    for (int level = 0; level < 40; ++level)
        deep += level % 3 == 2 ? R"([{"a":0},)" : R"({"a":)";
    QTest::newRow("deep nesting, one key per level") << QByteArray(deep + "{\"x\":1,\"y\":2}") << false;
    QTest::newRow("deep nesting, repeat at the bottom") << QByteArray(deep + "{\"x\":1,\"x\":2}") << true;
    QTest::newRow("deep nesting, repeat after the bottom closes")
        << QByteArray(deep + R"({"x":1},"a":2})") << true;
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
