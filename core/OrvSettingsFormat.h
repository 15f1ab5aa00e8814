#pragma once

#include <QSettings>

class QIODevice;

// The encrypted settings file: a QDataStream byte array holding the Blowfish ECB encryption (padded) of the
// QDataStream serialisation of the settings map. Registered with QSettings as "orv" before main runs.

extern QSettings::Format orvSettingsFormat;
// The fixed 25-byte Blowfish key of every settings file.
extern const char orvSettingsKey[];

bool readOrvSettingsFile(QIODevice &device, QSettings::SettingsMap &map);
bool writeOrvSettingsFile(QIODevice &device, const QSettings::SettingsMap &map);
