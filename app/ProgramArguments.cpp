#include "app/ProgramArguments.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <QFile>

#include "core/PrintableText.h"

namespace
{
// Options of the program's own parser that take the next argument as their value, whatever it looks like.
bool takesNextValue(const QByteArray &argument)
{
    return argument == "-g" || argument == "--debug-level" || argument == "-m" || argument == "--debug-module";
}

// "-name" or "--name".
bool isOption(const QByteArray &argument, const char *name)
{
    return argument == QByteArray("-") + name || argument == QByteArray("--") + name;
}

bool allowedPlatform(const QByteArray &name)
{
    return name == "xcb" || name == "offscreen" || name == "minimal";
}

// A word a shell takes as it stands, else single-quoted; shown escaped, so that it cannot drive a terminal.
std::string shellWord(const QByteArray &word)
{
    const bool plain = !word.isEmpty() && std::all_of(word.cbegin(), word.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '.'
               || c == '_' || c == '-' || c == '+';
    });
    if (plain) {
        return word.toStdString();
    }
    QByteArray quoted = word;
    quoted.replace('\'', "'\\''");
    return printableText(('\'' + quoted + '\'').toStdString());
}
} // namespace

ProgramArguments::ProgramArguments(int argc, char *argv[])
    : m_program(argc > 0 ? QByteArray(argv[0]) : QByteArrayLiteral("lumenbridge"))
{
    m_user.append(QFile::decodeName(m_program));
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        const bool hasNext = i + 1 < argc;
        if (argument == "--") {
            for (; i < argc; ++i) {
                m_user.append(QString::fromLocal8Bit(argv[i]));
            }
            break;
        }
        if (takesNextValue(argument) && hasNext) {
            m_user.append(QString::fromLocal8Bit(argument));
            m_user.append(QString::fromLocal8Bit(argv[++i]));
        } else if (isOption(argument, "platform") && hasNext && allowedPlatform(argv[i + 1])) {
            m_platform = argv[++i];
        } else if (isOption(argument, "display") && hasNext) {
            m_display = argv[++i];
        } else {
            // Anything else, -platform with a plug-in of its own or arguments among it, is the parser's to refuse.
            m_user.append(QString::fromLocal8Bit(argument));
        }
    }
    m_qtStrings = {m_program};
    if (!m_platform.isEmpty()) {
        m_qtStrings.insert(m_qtStrings.end(), {QByteArrayLiteral("-platform"), m_platform});
    }
    if (!m_display.isEmpty()) {
        m_qtStrings.insert(m_qtStrings.end(), {QByteArrayLiteral("-display"), m_display});
    }
    for (QByteArray &text : m_qtStrings) {
        m_qtPointers.push_back(text.data());
    }
    m_qtPointers.push_back(nullptr);
    m_qtCount = static_cast<int>(m_qtStrings.size());
}

int &ProgramArguments::qtArgc()
{
    return m_qtCount;
}

char **ProgramArguments::qtArgv()
{
    return m_qtPointers.data();
}

QStringList ProgramArguments::userArguments() const
{
    return m_user;
}

QByteArray ProgramArguments::platform() const
{
    return m_platform;
}

QByteArray ProgramArguments::display() const
{
    return m_display;
}

std::string ProgramArguments::startedAs() const
{
    return shellWord(m_program);
}

std::string ProgramArguments::startedAsFullPath() const
{
    char resolved[PATH_MAX];
    return shellWord(realpath("/proc/self/exe", resolved) ? QByteArray(resolved) : m_program);
}
