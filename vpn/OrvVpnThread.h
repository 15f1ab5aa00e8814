#pragma once

#include <QThread>

#include "vpn/OrvVpnClient.h"

class OrvVpnTransportStats;

// Runs one tunnel connection: its run() blocks in the library's connect on the worker thread.
// Created on the GUI thread by OrvVpn; once started it deletes itself when its thread has finished.
class OrvVpnThread : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvVpnThread)

public:
    OrvVpnThread();
    ~OrvVpnThread() override;

    bool stop();
    OrvVpnTransportStats *getTransportStats();

    OrvVpnClient client;

protected:
    void run() override;
};
