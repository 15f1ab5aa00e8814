#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSettings>

#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"

// Writes the demo's entries into the program's encrypted settings file (in the XDG config folder of the
// caller's environment) and reads them back, so the program starts against the demo portal.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // The program's own names: they decide where its settings file lives.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumenbridge"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Points the program's settings at a demo portal."));
    parser.addHelpOption();
    const QCommandLineOption portalOption(QStringLiteral("portal"),
                                          QStringLiteral("Portal base address, e.g. https://127.0.0.1:4443."),
                                          QStringLiteral("url"));
    const QCommandLineOption noToursOption(QStringLiteral("no-tours"),
                                           QStringLiteral("Mark the guided tours as already taken."));
    parser.addOptions({portalOption, noToursOption});
    parser.process(application);
    if (!parser.isSet(portalOption)) {
        std::fprintf(stderr, "--portal is required\n");
        return 2;
    }
    const QString portal = parser.value(portalOption);

    QSettings::setDefaultFormat(orvSettingsFormat);
    const QStringList tours{QStringLiteral("orv/tour1"),
                            QStringLiteral("orv/tour2"),
                            QStringLiteral("orv/tour3"),
                            QStringLiteral("orv/tour4")};
    QString fileName;
    {
        OrvSettings settings;
        settings.setValue(QStringLiteral("portal/base_address"), portal);
        if (parser.isSet(noToursOption)) {
            for (const QString &key : tours) {
                settings.setValue(key, false);
            }
        }
        settings.sync();
        fileName = settings.fileName();
        if (settings.status() != QSettings::NoError) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(fileName));
            return 1;
        }
    }

    // A fresh object reads the file back: what the program will see.
    OrvSettings check;
    if (check.status() != QSettings::NoError
        || check.value(QStringLiteral("portal/base_address")).toString() != portal) {
        std::fprintf(stderr, "%s does not read back\n", qPrintable(fileName));
        return 1;
    }
    std::printf("%s\n", qPrintable(fileName));
    return 0;
}
