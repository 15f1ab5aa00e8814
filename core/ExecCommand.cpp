#include "core/ExecCommand.h"

#include <cerrno>

#include <QFile>
#include <QStandardPaths>

#include <sys/mman.h>
#include <unistd.h>

#include "core/ChildProcess.h"
#include "core/DetachedLaunch.h"
#include "core/Log.h"

namespace
{
constexpr int waitTimeoutMs = 30000;
constexpr const char *logModule = "exec_command";
} // namespace

ExecCommand::ExecCommand(QObject *parent)
    : QObject(parent)
{}

ExecCommand::~ExecCommand()
{
    if (!process) {
        return;
    }
    // Our slots must not run while we are being destroyed; a process still running is ended with us so
    // that no bridge outlives the port that owns it.
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(waitTimeoutMs);
    }
    delete process;
}

void ExecCommand::setProgram(QString program)
{
    this->program = std::move(program);
}

void ExecCommand::setArguments(QStringList arguments)
{
    this->arguments = std::move(arguments);
}

void ExecCommand::setInheritedVariables(QStringList names)
{
    inheritedVariables = std::move(names);
}

void ExecCommand::setStandardInput(QByteArray input)
{
    standardInput = std::move(input);
}

bool ExecCommand::prepareStart(const char *function)
{
    if (running) {
        writeLog(2, logModule, function, program + QStringLiteral(" already running"));
        return false;
    }
    running = true;
    if (process) {
        // The previous process no longer reports to us. It is usually over (its end or error cleared running);
        // after a read or write error it may still run, and then it goes once it ends instead of being killed.
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning) {
            process->deleteLater();
        } else {
            connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), process, SLOT(deleteLater()));
        }
    }
    process = new ChildProcess;
    QProcessEnvironment environment;
    const QProcessEnvironment ours = QProcessEnvironment::systemEnvironment();
    for (const QString &name : QStringList{QStringLiteral("PATH")} + inheritedVariables) {
        if (ours.contains(name)) {
            environment.insert(name, ours.value(name));
        }
    }
    // An environment with nothing in it would stand for ours whole.
    if (environment.isEmpty()) {
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    }
    process->setProcessEnvironment(environment);
    output.clear();
    connect(process, SIGNAL(started()), this, SLOT(onStarted()));
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this, SLOT(onFinished(int, QProcess::ExitStatus)));
    connect(
        process, SIGNAL(errorOccurred(QProcess::ProcessError)), this, SLOT(onErrorOccurred(QProcess::ProcessError)));
    connect(process, SIGNAL(readyReadStandardOutput()), this, SLOT(onReadyReadStandardOutput()));
    return true;
}

bool ExecCommand::start()
{
    if (!prepareStart("start")) {
        return false;
    }
    process->start(program, arguments, QIODevice::ReadWrite);
    return true;
}

bool ExecCommand::startDetached()
{
    if (!prepareStart("startDetached")) {
        return false;
    }
    DetachedLaunch launch;
    launch.program = QFile::encodeName(QStandardPaths::findExecutable(program)).toStdString();
    if (launch.program.empty()) {
        writeLog(2, logModule, "startDetached", program + QStringLiteral(" not found"));
        return false;
    }
    launch.arguments.push_back(QFile::encodeName(program).toStdString());
    for (const QString &argument : qAsConst(arguments)) {
        launch.arguments.push_back(argument.toLocal8Bit().toStdString());
    }
    for (char **entry = environ; entry && *entry; ++entry) {
        launch.environment.emplace_back(*entry);
    }
    int fd = -1;
    if (!standardInput.isEmpty()) {
        // An anonymous in-memory file, read by the child from its start.
        fd = memfd_create("input", MFD_CLOEXEC);
        qint64 done = 0;
        while (fd >= 0 && done < standardInput.size()) {
            const ssize_t written = write(fd, standardInput.constData() + done, size_t(standardInput.size() - done));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                close(fd);
                fd = -1;
                break;
            }
            done += written;
        }
        if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) {
            writeLog(2, logModule, "startDetached", QStringLiteral("cannot hold the input"));
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        launch.input = fd;
    }
    std::string error;
    const bool started = launch.start(&error);
    if (fd >= 0) {
        close(fd);
    }
    if (!started) {
        writeLog(2, logModule, "startDetached", program + QStringLiteral(": ") + QString::fromStdString(error));
    }
    return started;
}

bool ExecCommand::isRunning() const
{
    return running;
}

int ExecCommand::exitCode() const
{
    return process ? process->exitCode() : -1;
}

void ExecCommand::kill()
{
    if (!running || !process) {
        return;
    }
    process->kill();
    process->waitForFinished(waitTimeoutMs);
}

bool ExecCommand::waitForStarted()
{
    return process && process->waitForStarted(waitTimeoutMs);
}

bool ExecCommand::waitForFinished()
{
    return process && process->waitForFinished(waitTimeoutMs);
}

QString ExecCommand::errorLine()
{
    if (!process) {
        return QString();
    }
    const QByteArray errors = process->readAllStandardError();
    return QString::fromLocal8Bit(errors.left(errors.indexOf('\n'))).trimmed();
}

void ExecCommand::onStarted()
{
    writeLog(4, logModule, "onStarted", program);
}

void ExecCommand::onErrorOccurred(QProcess::ProcessError error)
{
    running = false;
    writeLog(4, logModule, "onErrorOccurred", program + QStringLiteral(" error: ") + QString::number(int(error)));
}

void ExecCommand::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitStatus)
    running = false;
    writeLog(4, logModule, "onFinished", program + QStringLiteral(" exitCode: ") + QString::number(exitCode, 10));
    emit finished();
}

void ExecCommand::onReadyReadStandardOutput()
{
    writeLog(4, logModule, "onReadyReadStandardOutput", program);
    auto *source = qobject_cast<QProcess *>(sender());
    if (!source) {
        return;
    }
    const QString text = QString::fromUtf8(source->readAllStandardOutput().constData());
    output.append(text);
    writeLog(4, logModule, "onReadyReadStandardOutput", text);
}
