#include "vpn/OrvVpnSignals.h"

#include "core/StaticInitOrder.h"

OrvVpnSignals::OrvVpnSignals(QObject *parent)
    : QObject(parent)
{}

OrvVpnSignals *orvVpnSignals = nullptr;

// Created during static initialisation on the main thread, so it belongs to the GUI thread; its place among the
// program's globals is in core/StaticInitOrder.h.
[[gnu::constructor(vpnSignalRelayInitPriority)]] static void createOrvVpnSignals()
{
    orvVpnSignals = new OrvVpnSignals;
}
