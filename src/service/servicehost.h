#pragma once

// The program's entry behind main(): on Windows the service dispatcher, on Linux the
// foreground host of a systemd service. Returns the process exit code.
int runServiceHost(int argc, char **argv);
