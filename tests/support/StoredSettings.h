#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QStringList>
#include <QVariant>

class VirtualSerialPort;

// The program's encrypted settings as tests prepare and read them: each call goes through an OrvSettings of its
// own, so what it wrote is on disk when it returns. Plain functions for the test's thread.
class StoredSettings
{
public:
    static void setValue(const QString &key, const QVariant &value);
    static QVariant value(const QString &key, const QVariant &defaultValue = QVariant());
    static bool contains(const QString &key);
    // Tours first to last marked as seen, so that no tour step stands over what a test clicks.
    static void setToursSeen(int first, int last);

    // The domain list as an earlier run leaves it, from the portal's JSON; and the list stored now, as JSON.
    static void setDomains(const QJsonArray &domains);
    static QJsonArray domains();
    // The virtual serial ports as an earlier run leaves them (they stay the caller's), and the serial names of
    // those stored now, in their order.
    static void setSerialPorts(const QList<VirtualSerialPort *> &ports);
    static QStringList serialPortNames();

    // The clear text of an encrypted settings file: the serialised settings map, padding included.
    static QByteArray clearText(const QString &filePath);
};
