#include "service/eventwait.h"
#include "service/logsink.h"

#include <QEventLoop>
#include <QTimer>

bool serveEventsUntil(const std::function<bool()> &done, int timeoutMs, int checkMs)
{
    if (done())
        return true;
    // What the loop serves meanwhile is not about the session whose handling may wait here.
    const LogSink::SessionScope noSession(std::nullopt);
    QEventLoop loop;
    QTimer deadline, check;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    deadline.start(timeoutMs);
    check.start(checkMs);
    loop.exec();
    return done();
}
