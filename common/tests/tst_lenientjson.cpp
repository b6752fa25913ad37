#include "common/LenientJson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// One table for every reader: the value as it stands in a JSON text.
class TestLenientJson : public QObject
{
    Q_OBJECT

private slots:
    void readers_data();
    void readers();
};

void TestLenientJson::readers_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("whole");
    QTest::addColumn<quint32>("unsignedValue");
    QTest::addColumn<int>("signedValue");
    QTest::addColumn<QString>("text");

    QTest::newRow("number") << QByteArray("42") << 42 << 42u << 42 << "42";
    QTest::newRow("fraction") << QByteArray("2.5") << 0 << 2u << 0 << "";
    QTest::newRow("negative") << QByteArray("-7") << -7 << 0u << -7 << "-7";
    QTest::newRow("largest unsigned") << QByteArray("4294967295") << 0 << 4294967295u << 0 << "4294967295";
    QTest::newRow("beyond 32 bits") << QByteArray("4294967296") << 0 << 0u << 0 << "4294967296";
    QTest::newRow("digits") << QByteArray("\"4022\"") << 0 << 4022u << 4022 << "4022";
    QTest::newRow("signed digits") << QByteArray("\"-12\"") << 0 << 0u << -12 << "-12";
    QTest::newRow("not digits") << QByteArray("\"12a\"") << 0 << 0u << 0 << "12a";
    QTest::newRow("true") << QByteArray("true") << 0 << 0u << 0 << "";
    QTest::newRow("null") << QByteArray("null") << 0 << 0u << 0 << "";
    QTest::newRow("object") << QByteArray("{}") << 0 << 0u << 0 << "";
}

void TestLenientJson::readers()
{
    QFETCH(QByteArray, json);
    const QJsonValue value = QJsonDocument::fromJson("{\"v\":" + json + "}").object().value("v");
    QTEST(LenientJson::readInt(value), "whole");
    QTEST(LenientJson::wholeNumber(value), "whole");
    QTEST(LenientJson::readUnsigned(value), "unsignedValue");
    QTEST(LenientJson::readSigned(value), "signedValue");
    QTEST(LenientJson::readText(value), "text");
}

QTEST_APPLESS_MAIN(TestLenientJson)
#include "tst_lenientjson.moc"
