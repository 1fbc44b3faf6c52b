// SIGTERM, SIGINT and SIGHUP as termination requests: each posts EvMenuItem with item
// QuitMenuItem on the main thread, as the system's request (not QuitByUser), and the process
// does not end by itself.
#pragma once

void InstallTerminationSignals();
