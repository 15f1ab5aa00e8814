#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QFile>
#include <QSettings>

#include "core/BlowfishCipher.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "tools/testportal/TestPortal.h"

// Points the program at a test portal through the settings key it reads its base address from.
inline void usePortal(const TestPortal &portal)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    settings.setValue(QStringLiteral("portal/base_address"), portal.baseAddress());
}

// The clear text of the encrypted settings file: the serialised settings map, padding included.
inline QByteArray settingsClearText(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QDataStream stream(&file);
    QByteArray cipherText;
    stream >> cipherText;
    BlowfishCipher cipher{QByteArray(orvSettingsKey)};
    return cipher.decrypted(cipherText);
}
