#pragma once
// How a daemon run from a console (a test build's --console) is told to stop, in place of the
// service manager's stop control: the end of its standard input (a test closes its end of the
// pipe) or Ctrl+C / Ctrl+Break. Plain C++ on the Win32 console API, no Qt.

#include <functional>
#include <memory>

class ConsoleStop
{
public:
    // From now on the first stop calls onStop, once, on a thread of this object's. A standard
    // input that is a console, or none, is not watched: then only Ctrl+C / Ctrl+Break stop.
    explicit ConsoleStop(std::function<void()> onStop);
    // Once it returns, onStop is not running and will not run.
    ~ConsoleStop();
    ConsoleStop(const ConsoleStop &) = delete;
    ConsoleStop &operator=(const ConsoleStop &) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};
