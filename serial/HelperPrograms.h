#pragma once

#include <QString>
#include <QStringList>

// Where the serial ports' outside programs run from, never the working directory: setupc.exe beside the program,
// com2tcp unpacked into lumenbridge-bin in the program's own runtime folder (XDG_RUNTIME_DIR). A path is
// handed out only once the file and its folders are found to be ones nobody else can change. Static functions for
// the GUI thread.
class HelperPrograms
{
public:
    // The checked setupc.exe, or empty with the reason in error.
    static QString setupcPath(QString *error);
    // What setupc.exe needs of our environment: where the pair links go (the tests name a folder of their own) and
    // whom they are for.
    static QStringList setupcVariables();
    // What com2tcp needs of it: where the pair links are.
    static QStringList com2tcpVariables();
    // The checked com2tcp, or empty with the reason in error.
    static QString com2tcpPath(QString *error);
    // The private folder com2tcp is unpacked into, made 0700 if missing; empty with the reason in error when the
    // folder or the runtime folder above it could be changed by another user.
    static QString com2tcpFolder(QString *error);
    // Writes a copy of source (a resource) as destination, executable by us alone; an existing file is replaced
    // whole, never written into, so a bridge still running from it is not disturbed.
    [[nodiscard]] static bool unpack(const QString &source, const QString &destination, QString *error);
    // The folder setupc.exe is taken from; empty (the default) means the program's own folder. Tests point it at
    // a folder of their own.
    static void setSetupcFolder(const QString &folder);
};
