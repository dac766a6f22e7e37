// The Linux child-process layer on its own: a launch that runs out of descriptors at any of its
// steps fails whole, and one that is refused leaves nothing running.

#include "process/childprocess.h"

#include <QSet>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

using childprocess::Child;

namespace {

const std::string Helper = HELPER_CHILDHELPER;

QSet<int> openDescriptors()
{
    // Asked one by one: listing /proc/self/fd would itself take a descriptor.
    QSet<int> open;
    for (int fd = 0; fd < 4096; ++fd)
        if (::fcntl(fd, F_GETFD) != -1)
            open.insert(fd);
    return open;
}

// The soft limit under which exactly `free` more descriptors can be had.
rlim_t limitLeaving(const QSet<int> &open, int free)
{
    int fd = 0;
    for (; free > 0 || open.contains(fd); ++fd)
        free -= !open.contains(fd);
    return rlim_t(fd);
}

bool noChildren()
{
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

} // namespace

class TestChildProcessUnix : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void descriptorExhaustionAtEveryStep()
    {
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        QSet<QString> failedSteps;
        QString lastFailure;
        bool launched = false;
        for (int free = 0; free <= 12 && !launched; ++free) {
            const QSet<int> before = openDescriptors();
            rlimit low = saved;
            low.rlim_cur = limitLeaving(before, free);
            QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
            childprocess::LaunchError error;
            std::unique_ptr<Child> child = Child::launch({Helper, {"noread"}, {}}, &error);
            QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
            if (!child) {
                QCOMPARE(error.code, long(EMFILE));
                lastFailure = QString::fromStdString(error.step);
                failedSteps.insert(lastFailure);
                QCOMPARE(openDescriptors(), before);
                QVERIFY2(noChildren(), "a refused launch left a child behind");
                continue;
            }
            launched = true;
            int code = 0;
            QVERIFY(child->terminate() && child->waitForExit(&code));
            QCOMPARE(code, 1);
            child.reset();
            QCOMPARE(openDescriptors(), before);
            QVERIFY(noChildren());
        }
        QVERIFY(launched);
        QCOMPARE(failedSteps, (QSet<QString>{"exit watch", "stdin pipe", "stdout pipe", "stderr pipe"}));
        // The last thing a launch takes is the descriptor that watches the started child: that
        // failure had to kill and reap a child already running.
        QCOMPARE(lastFailure, QStringLiteral("exit watch"));
    }

    void nulInANameIsRefused()
    {
        const QSet<int> before = openDescriptors();
        for (const childprocess::LaunchSpec &spec :
             {childprocess::LaunchSpec{Helper + std::string("\0x", 2), {}, {}},
              childprocess::LaunchSpec{Helper, {"exit", std::string("0\0rm -rf /", 10)}, {}},
              childprocess::LaunchSpec{Helper, {"exit"}, std::string("/tmp\0/etc", 9)}}) {
            childprocess::LaunchError error;
            QVERIFY(!Child::launch(spec, &error));
            QCOMPARE(error.step, std::string("create process"));
            QCOMPARE(error.code, long(EINVAL));
        }
        QCOMPARE(openDescriptors(), before);
        QVERIFY(noChildren());
    }
};

QTEST_GUILESS_MAIN(TestChildProcessUnix)
#include "tst_childprocess_unix.moc"
