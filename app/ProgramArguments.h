#pragma once

#include <string>
#include <vector>

#include <QByteArray>
#include <QStringList>

// The command line split in two. Qt and the web engine see the program's name and a window-system choice alone
// (-platform xcb, offscreen or minimal, and -display, with one dash or two), since both read options of their own
// from the application's arguments; the program's own parser reads everything else, so an option it does not know
// is an error instead of an order to Qt. main() keeps the one instance for the whole run.
class ProgramArguments
{
public:
    ProgramArguments(int argc, char *argv[]);

    // For the application object, which keeps a reference to the count.
    int &qtArgc();
    char **qtArgv();
    // The program's name first, as the parser expects.
    QStringList userArguments() const;
    // The window-system choice given on the command line; empty when none was.
    QByteArray platform() const;
    QByteArray display() const;
    // The program as the user started it, ready for a shell and printable: advice that names it works as typed.
    std::string startedAs() const;
    // The same by its full path, for tools that want one (pkexec).
    std::string startedAsFullPath() const;

private:
    QByteArray m_program;
    QByteArray m_platform;
    QByteArray m_display;
    QStringList m_user;
    std::vector<QByteArray> m_qtStrings;
    std::vector<char *> m_qtPointers;
    int m_qtCount = 0;
};
