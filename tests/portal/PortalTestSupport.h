#pragma once

#include <QSettings>

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
