#pragma once

// The program's stop request: SIGINT and SIGTERM set one flag that the main thread polls. On
// Windows Ctrl-C arrives as SIGINT, and Ctrl-Break, closing the console window, logging off and
// shutting down set the same flag.

// Arms the handlers; they stay armed for the rest of the run.
void InstallStopHandlers();

// True once a stop has been asked for.
bool StopRequested();
