#include "app/ShutdownSignals.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include "core/Log.h"

namespace
{
constexpr int watchedSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int watchedCount = sizeof(watchedSignals) / sizeof(watchedSignals[0]);

// Set before any handler is installed and cleared after the last one is gone.
int writeEnd = -1;
int readEnd = -1;
struct sigaction previousActions[watchedCount];
bool replaced[watchedCount] = {};

void onSignal(int number)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    // The write end never blocks, and each handler runs once, so the pair cannot fill up.
    const ssize_t written = ::write(writeEnd, &byte, 1);
    static_cast<void>(written);
    errno = savedErrno;
}

void closeEnds()
{
    for (int *end : {&writeEnd, &readEnd}) {
        if (*end >= 0) {
            ::close(*end);
            *end = -1;
        }
    }
}
} // namespace

ShutdownSignals::ShutdownSignals(QObject *parent)
    : QObject(parent)
{}

ShutdownSignals::~ShutdownSignals()
{
    if (m_notifier == nullptr) {
        return;
    }
    for (int i = 0; i < watchedCount; ++i) {
        if (replaced[i]) {
            sigaction(watchedSignals[i], &previousActions[i], nullptr);
            replaced[i] = false;
        }
    }
    delete m_notifier;
    m_notifier = nullptr;
    closeEnds();
}

bool ShutdownSignals::install()
{
    if (writeEnd >= 0) {
        m_errorString = QStringLiteral("signal handlers are already installed");
        return false;
    }
    int ends[2];
    // Close-on-exec: the daemon and the helper programs we start must not hold the pair.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        m_errorString =
            QStringLiteral("cannot make the signal socket pair: ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    writeEnd = ends[0];
    readEnd = ends[1];
    m_notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    const bool ok = connect(m_notifier, SIGNAL(activated(int)), this, SLOT(readSignals()));
    Q_ASSERT(ok);
    Q_UNUSED(ok)

    for (int i = 0; i < watchedCount; ++i) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        struct sigaction previous = {};
        if (sigaction(watchedSignals[i], nullptr, &previous) != 0) {
            continue;
        }
        // A hangup ignored by whoever started us (nohup) stays ignored.
        if (watchedSignals[i] == SIGHUP && previous.sa_handler == SIG_IGN) {
            continue;
        }
        if (sigaction(watchedSignals[i], &action, &previousActions[i]) == 0) {
            replaced[i] = true;
        }
    }
    return true;
}

QString ShutdownSignals::errorString() const
{
    return m_errorString;
}

void ShutdownSignals::readSignals()
{
    char numbers[16];
    const ssize_t count = ::read(readEnd, numbers, sizeof numbers);
    if (count <= 0) {
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        const int number = static_cast<unsigned char>(numbers[i]);
        writeLog(3,
                 "ShutdownSignals::readSignals",
                 QStringLiteral("Signal %1 (%2): ending as when the window is closed")
                     .arg(number)
                     .arg(QString::fromLocal8Bit(strsignal(number))));
    }
    emit onShutdownRequested();
}
