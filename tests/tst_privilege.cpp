// The privilege level the daemon reports to its clients.

#include "service/privilegemanager.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

class TestPrivilege : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void levelFollowsEffectiveUser()
    {
        QCOMPARE(PrivilegeManager::privilegeLevel(), testsupport::isRoot() ? 1 : 0);
        QCOMPARE(PrivilegeManager().isElevated(), testsupport::isRoot());
        if (!testsupport::isRoot())
            QSKIP("dropping to another user needs root");
        // An unprivileged process is told 0; the level is asked anew, not cached.
        const pid_t child = fork();
        if (child == 0)
            _exit(setresgid(65534, 65534, 65534) || setresuid(65534, 65534, 65534) ? 3 : PrivilegeManager::privilegeLevel());
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

QTEST_GUILESS_MAIN(TestPrivilege)
#include "tst_privilege.moc"
