// The Linux sessions layer: logind when it is there, one session otherwise, and peer identity.

#include "ipc/sessions.h"
#include "testsupport.h"

#include <QtTest>

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

class TestSessions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sessionsAndProcesses()
    {
        std::vector<sessions::SessionInfo> active;
        std::string error;
        QVERIFY2(sessions::listActive(active, &error), error.c_str());
        for (const auto &s : active) {
            QVERIFY(s.id != 0);
            QVERIFY(!s.user.empty());
        }
        std::uint32_t mine = 0;
        const bool known = sessions::sessionOfProcess(getpid(), &mine);
        std::uint32_t none = 0;
        QVERIFY(!sessions::sessionOfProcess(999999999, &none));

        if (sessions::sourceName() == "single session") {
            QCOMPARE(int(active.size()), 1);
            QCOMPARE(active[0].id, 1u);
            QCOMPARE(QString::fromStdString(active[0].user), QString::fromLocal8Bit(getpwuid(geteuid())->pw_name));
            QVERIFY(known);
            QCOMPARE(mine, 1u);
        } else if (known) {
            // Where logind answers, our session (if any) is one it lists or one of our user's.
            QVERIFY(mine != 0);
        }
    }

    void peerIdentityFromTheSocket()
    {
        int fds[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sessions::PeerInfo peer;
        QVERIFY(sessions::peerOf(fds[0], &peer));
        QCOMPARE(peer.pid, std::int64_t(getpid()));
        QCOMPARE(peer.uid, std::uint32_t(geteuid()));
        QCOMPARE(peer.gid, std::uint32_t(getegid()));
        QCOMPARE(peer.privileged, testsupport::isRoot());
        QCOMPARE(QString::fromStdString(peer.user), QString::fromLocal8Bit(getpwuid(geteuid())->pw_name));
        close(fds[0]);
        close(fds[1]);

        sessions::PeerInfo none;
        QVERIFY(!sessions::peerOf(-1, &none));
    }
};

QTEST_GUILESS_MAIN(TestSessions)
#include "tst_sessions.moc"
