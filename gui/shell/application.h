// The application shell: the application object and the routes by which the system asks
// the program to end.
#pragma once

// Creates the KzApplication from the stored command line and installs the termination
// routes (SIGTERM, SIGINT, SIGHUP, the session manager's quit). Runs once at start-up;
// a second call does nothing.
void StartApplication();
