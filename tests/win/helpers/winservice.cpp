// The service entry for the tests of its registration: the real entry, with a run body that
// reports running and stopped at once (the tests never start it).

#include "service/windowsservice_win.h"

int wmain(int argc, wchar_t **argv)
{
    return runServiceEntry(
        argc, argv,
        [](WindowsService &service) {
            service.reportRunning();
            service.reportStopped();
        },
        [] {});
}
