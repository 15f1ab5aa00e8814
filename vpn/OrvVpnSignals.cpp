#include "vpn/OrvVpnSignals.h"

OrvVpnSignals::OrvVpnSignals(QObject *parent)
    : QObject(parent)
{}

// Created during static initialisation on the main thread, so it belongs to the GUI thread.
OrvVpnSignals *orvVpnSignals = new OrvVpnSignals;
