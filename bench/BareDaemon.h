#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>

#include "vpn/engine/ClientApi.h"

// The anchor of the connect benchmarks: the bare OpenVPN daemon on a profile, from its start to
// "Initialization Sequence Completed", in milliseconds; -1 when it does not get there within timeoutMs.
inline double bareDaemonMs(const QString &profile, int timeoutMs)
{
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    daemon.start(QString::fromStdString(lumen::engine::daemon_path()), {QStringLiteral("--config"), profile});
    QByteArray output;
    double elapsed = -1;
    while (timer.elapsed() < timeoutMs && daemon.state() != QProcess::NotRunning) {
        daemon.waitForReadyRead(50);
        output += daemon.readAll();
        if (output.contains("Initialization Sequence Completed")) {
            elapsed = double(timer.nsecsElapsed()) / 1e6;
            break;
        }
    }
    daemon.terminate();
    if (!daemon.waitForFinished(timeoutMs)) {
        daemon.kill();
        daemon.waitForFinished();
    }
    return elapsed;
}
