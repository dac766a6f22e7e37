#include "service/eventwait.h"
#include "service/logsink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

bool serveEventsUntil(const std::function<bool()> &done, int timeoutMs, int checkMs)
{
    // No event loop of its own: once the application has been told to quit while the daemon
    // already stops (a stop request during the self-restart's stop, say), every event loop
    // started afterwards returns at once, and the wait would lose its whole budget. Events are
    // served here until the wait is over, whatever was asked of the loops.
    // What is served meanwhile is not about the session whose handling may wait here.
    const LogSink::SessionScope noSession(std::nullopt);
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // wakes the wait at least every checkMs
    tick.start(checkMs);
    while (!done()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
