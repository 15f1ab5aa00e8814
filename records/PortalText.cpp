#include "records/PortalText.h"

QString PortalText::capped(const QString &text)
{
    if (text.size() <= maxChars) {
        return text;
    }
    const int length = text.at(maxChars - 1).isHighSurrogate() ? maxChars - 1 : maxChars;
    return text.left(length);
}
