#pragma once

#include <QThread>

#include "vpn/OrvVpnClient.h"

class OrvVpnTransportStats;

// Runs one tunnel connection: its run() blocks in the library's connect on the worker thread.
// Created on the GUI thread by OrvVpn; once started it deletes itself when its thread has finished. The program
// runs one tunnel at a time: at most one worker is started and not yet deleted.
class OrvVpnThread : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvVpnThread)

public:
    OrvVpnThread();
    ~OrvVpnThread() override;

    bool stop();
    OrvVpnTransportStats *getTransportStats();

    // Starts the thread, unless another worker is still running (its daemon may still be up) or the program is
    // ending: then false, and nothing is started.
    [[nodiscard]] bool startTunnel();
    // The worker started and not yet deleted, or null. Its events are the only ones the relay can carry.
    static OrvVpnThread *running();
    // For the end of the program: no worker starts any more, and the running one is stopped and waited for, so no
    // daemon outlives the program. False when it had not ended within timeoutMs.
    static bool finishAll(int timeoutMs);

    OrvVpnClient client;

protected:
    void run() override;
};
