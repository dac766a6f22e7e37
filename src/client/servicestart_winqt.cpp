// StartServiceW returns only once the service has begun to start: it runs on a thread of its
// own, so the application's event loop goes on meanwhile.

#include "servicestart.h"

#include "client/servicestart_win.h"

#include <QCoreApplication>
#include <QPointer>

#include <thread>

namespace servicestart {

void startService(QObject *context, std::function<void(const QString &refusal)> done)
{
    QPointer<QObject> guard(context);
    std::thread([guard, done] {
        const QString refusal = QString::fromStdWString(winservicestart::startService(L"TarnService"));
        // The context is looked at on its own thread only.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [guard, done, refusal] {
                if (guard)
                    done(refusal);
            },
            Qt::QueuedConnection);
    }).detach();
}

} // namespace servicestart
