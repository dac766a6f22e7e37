#pragma once

// The program's entry behind main(): on Windows the service dispatcher (given wmain's wide
// arguments), on Linux the foreground host of a systemd service. Returns the process exit code.
int runServiceHost(int argc, char **argv);
int runServiceHost(int argc, wchar_t **argv);
