#pragma once

#include <string>
#include <vector>

// What the user who started us said of their desktop, for the programs we start as that user: the display's
// authority file as the user named it, and the desktop's names. Libraries that run as root must choose nothing by
// them, so they travel under names of our own, the prefix and the name. Plain C++ on POSIX calls.
class UserDesktop
{
public:
    static constexpr const char *prefix = "LUMENBRIDGE_USER_";

    // The names kept aside for the user: XAUTHORITY, XDG_CURRENT_DESKTOP and XDG_SESSION_TYPE.
    static const std::vector<std::string> &names();
    // Whether a variable's name is one of ours that keeps a name aside.
    static bool keepsAside(const std::string &variable);
    // Words such as the desktop's names are given in ("ubuntu:GNOME", "x11"): letters, digits and "_.:-".
    static bool desktopWords(const std::string &value);
    // NAME=value for each name kept aside that has a value, under its own name again.
    static std::vector<std::string> environment();
};
