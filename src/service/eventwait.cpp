#include "service/eventwait.h"

#include <QEventLoop>
#include <QTimer>

bool serveEventsUntil(const std::function<bool()> &done, int timeoutMs, int checkMs)
{
    if (done())
        return true;
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
