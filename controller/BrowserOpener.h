#pragma once

#include <QString>

class QUrl;

// Opens an address in the desktop's browser. Started as root on behalf of a user (through sudo or pkexec), the
// program starts the opener as that user, with the user's groups and a small environment of the user's own, never
// as root. Plain operations, called on the GUI thread.
class BrowserOpener
{
public:
    // False when nothing was started: the opener failed, or the user named by the environment is not valid.
    [[nodiscard]] static bool open(const QUrl &url);

    // For tests only: the program run as the user instead of xdg-open; empty restores it.
    static void setProgramForTests(const QString &program);
};
