#include "vpn/OrvVpnTransportStats.h"

OrvVpnTransportStats::OrvVpnTransportStats(QObject *parent)
    : QObject(parent)
{}
