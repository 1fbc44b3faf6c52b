// SIGTERM, SIGINT and SIGHUP as termination requests: each posts EvMenuItem with item
// QuitMenuItem on the main thread, and the process does not end by itself.
#pragma once

void InstallTerminationSignals();
