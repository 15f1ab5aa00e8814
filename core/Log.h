#pragma once

#include <QString>

// The program's one log function and its two filters, set from the command line at start-up.
// Safe to call from the GUI thread and the VPN worker thread: the filters are only read after start-up.

extern int debugLevel;
extern QString debugModule;

void writeLog(int level, const char *module, const char *function, QString message);
void writeLog(int level, const char *function, QString message);
