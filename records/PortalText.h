#pragma once

#include <QString>

// Text from the portal as the records keep it: a name or any other text field is cut to 1,024 characters, so that
// a hostile portal cannot grow the process, the page and the settings file with one field. Plain functions.
class PortalText
{
public:
    static constexpr int maxChars = 1024;

    // The text, or its first maxChars characters (one fewer when a surrogate pair would be split).
    static QString capped(const QString &text);
};
