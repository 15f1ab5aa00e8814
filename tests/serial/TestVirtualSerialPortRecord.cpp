#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "core/ExecCommand.h"
#include "serial/VirtualSerialPort.h"

class TestVirtualSerialPortRecord : public QObject
{
    Q_OBJECT

private slots:
    void newPortJson();
    void readMissingOrWrongKeys_data();
    void readMissingOrWrongKeys();
    void roundTripCarriesSavedFieldsOnly();
};

void TestVirtualSerialPortRecord::newPortJson()
{
    VirtualSerialPort port;
    const QJsonObject expected = QJsonDocument::fromJson(R"({"baudRate": 2, "dataBit": 3, "stopBit": 0, "parity": 0,
        "type": 0, "deviceId": -1, "serialName": "", "raw": 1, "echo": 0, "terminator": 0})")
                                     .object();
    QCOMPARE(port.toJson(), expected);
    QVERIFY(port.toJson().value("serialName").isString());
    QVERIFY(port.execCommand != nullptr);
    QVERIFY(!port.device);
}

void TestVirtualSerialPortRecord::readMissingOrWrongKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("deviceId");
    QTest::addColumn<QString>("serialName");

    QTest::newRow("empty object") << QByteArray("{}") << 0 << 0 << QString();
    QTest::newRow("strings are not numbers")
        << QByteArray(R"({"raw": "1", "deviceId": "7", "serialName": "COM3"})") << 0 << 0 << QStringLiteral("COM3");
    QTest::newRow("name that is not a string")
        << QByteArray(R"({"raw": 1, "deviceId": 7, "serialName": 3})") << 1 << 7 << QString();
}

void TestVirtualSerialPortRecord::readMissingOrWrongKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(int, raw);
    QFETCH(int, deviceId);
    QFETCH(QString, serialName);

    std::unique_ptr<VirtualSerialPort> port(VirtualSerialPort::fromJson(QJsonDocument::fromJson(text).object()));
    QCOMPARE(port->raw, raw);
    QCOMPARE(port->deviceId, deviceId);
    QCOMPARE(port->serialName, serialName);
    // Keys that are missing read as 0, not as the constructor's values.
    QCOMPARE(port->baudRate, 0);
    QCOMPARE(port->dataBit, 0);
    QVERIFY(!port->device);
    QVERIFY(port->execCommand != nullptr);
}

void TestVirtualSerialPortRecord::roundTripCarriesSavedFieldsOnly()
{
    VirtualSerialPort port;
    port.baudRate = 6;
    port.dataBit = 2;
    port.stopBit = 2;
    port.parity = 1;
    port.type = 3;
    port.deviceId = 42;
    port.terminator = 1;
    port.raw = 0;
    port.echo = 1;
    port.serialName = QStringLiteral("COM7");
    port.remotePort = 5001;
    port.tcpName = QStringLiteral("CNCAORV7");
    port.connected = true;

    std::unique_ptr<VirtualSerialPort> read(VirtualSerialPort::fromJson(port.toJson()));
    QCOMPARE(read->toJson(), port.toJson());
    QCOMPARE(read->baudRate, 6);
    QCOMPARE(read->stopBit, 2);
    QCOMPARE(read->type, 3);
    QCOMPARE(read->terminator, 1);
    QCOMPARE(read->echo, 1);
    QCOMPARE(read->remotePort, 0);
    QVERIFY(read->tcpName.isEmpty());
    QVERIFY(!read->connected);
    QVERIFY(read->execCommand != port.execCommand);
}

QTEST_GUILESS_MAIN(TestVirtualSerialPortRecord)

#include "TestVirtualSerialPortRecord.moc"
