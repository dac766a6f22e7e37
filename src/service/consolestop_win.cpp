#include "service/consolestop_win.h"

#include <windows.h>

#include <thread>

namespace {

// Set by Ctrl+C / Ctrl+Break or the end of standard input, and never closed: the control
// handler runs on a thread the system starts, and the reader stays blocked in its read until
// the process ends, so either may set it after the ConsoleStop is gone.
HANDLE stopEvent()
{
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE; // closing the console or logging off: the default, the process ends
    SetEvent(stopEvent());
    return TRUE;
}

void readToEnd(HANDLE input)
{
    // What arrives is of no interest; only its end is.
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    SetEvent(stopEvent());
}

} // namespace

struct ConsoleStop::Impl
{
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter;
};

ConsoleStop::ConsoleStop(std::function<void()> onStop)
    : d(std::make_unique<Impl>())
{
    // A process started in a new process group has Ctrl+C turned off; a console daemon takes it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input && input != INVALID_HANDLE_VALUE && !GetConsoleMode(input, &mode))
        std::thread(readToEnd, input).detach();

    const HANDLE done = d->done;
    d->waiter = std::thread([done, onStop = std::move(onStop)] {
        // The object's end first: a stop that comes with it is not acted on any more.
        const HANDLE events[] = {done, stopEvent()};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 && onStop)
            onStop();
    });
}

ConsoleStop::~ConsoleStop()
{
    SetEvent(d->done);
    d->waiter.join();
    CloseHandle(d->done);
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
}
