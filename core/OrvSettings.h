#pragma once

#include <QList>
#include <QSettings>

class OrvDomain;
class VirtualSerialPort;

// The program's settings object, always on the encrypted settings file. Made on the stack of the GUI thread
// for one operation (after QSettings::setDefaultFormat(orvSettingsFormat)); its destruction writes the changes.
// When the settings folder is not ours alone (a link, another user's, writable by others) nothing is read from or
// written to it: the object then keeps its values only for its own life.
class OrvSettings : public QSettings
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvSettings)

public:
    explicit OrvSettings(QObject *parent = nullptr);
    ~OrvSettings() override;

    // The caller owns the domains and ports these return; the setters leave them the caller's.
    QList<OrvDomain *> getDomains();
    void setDomains(QList<OrvDomain *> domains);
    void clearDomains();
    int getLastDomainIdOpened();
    void setLastDomainIdOpened(int id);
    void clearLastDomainIdOpened();
    QList<VirtualSerialPort *> getVirtualSerialPorts();
    void setVirtualSerialPorts(QList<VirtualSerialPort *> ports);
    void clearVirtualSerialPorts();
};
