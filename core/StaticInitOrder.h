#pragma once

// The program's own globals are set up before main in this order, whatever order the linker gives their files:
// the log module filter, the VPN signal relay, the encrypted settings format, then the page's resource tree.
// Each is marked with its number (GCC and Clang run marked initialisers before all others, the lowest first);
// the gaps leave room to look between the steps.
constexpr int logFilterInitPriority = 1000;
constexpr int vpnSignalRelayInitPriority = 2000;
constexpr int settingsFormatInitPriority = 3000;
constexpr int pageResourcesInitPriority = 4000;
