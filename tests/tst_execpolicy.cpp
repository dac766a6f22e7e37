// The executable policy: reading its file, which paths lie inside an allowed folder, and which
// files a client could change (then the daemon must not run them with its rights).

#include "daemon/execpolicy.h"
#include "testsupport.h"

#include <QDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr unsigned Nobody = 65534;
constexpr unsigned Supplementary = 4242; // a group of the client's beside its own
logfile::Identity client(unsigned uid) { return {false, uid, Nobody, {}, std::vector<std::uint32_t>{Nobody, Supplementary}}; }
} // namespace

class TestExecPolicy : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path(const QString &rel) const { return m_dir.path() + "/" + rel; }

    // A file (or folder, for a name ending in '/') with that mode, owner and group.
    bool make(const QString &rel, unsigned mode, unsigned uid = 0, unsigned gid = 0)
    {
        rel.endsWith('/') ? void(QDir().mkpath(path(rel))) : testsupport::writeFile(path(rel), "#!/bin/sh\n");
        const QByteArray p = QFile::encodeName(path(rel));
        return ::chown(p.constData(), uid, gid) == 0 && ::chmod(p.constData(), mode) == 0;
    }

    ExecPolicy policyOf(const QByteArray &text)
    {
        testsupport::writeFile(path("tarnd.conf"), text);
        return ExecPolicy::load(path("tarnd.conf"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("files of other owners need root");
        // The temporary folder sits in /tmp, which everyone may write: the walk must stop at the
        // allowed folder, below it.
        for (const char *d : {"", "a/", "ab/", "outside/", "a/deep/er/"})
            QVERIFY(make(d, 0755));
        QVERIFY(make("a/deep/", 0777));
        QVERIFY(make("mine/", 0755, Nobody, Nobody));
        for (const char *f : {"a/tool", "ab/tool", "outside/tool", "a/deep/er/tool", "mine/tool"})
            QVERIFY(make(f, 0755));
        QVERIFY(make("a/owned", 0755, Nobody, 0));
        QVERIFY(make("a/group", 0775, 0, Nobody));
        QVERIFY(make("a/supplementary", 0775, 0, Supplementary));
        QVERIFY(make("a/acl", 0755));
        QCOMPARE(QProcess::execute("setfacl", {"-m", "u:65534:rwx", path("a/acl")}), 0);
        // Where the client cannot look, a link that leads into a name it must not learn.
        QVERIFY(make("hidden/", 0700));
        QVERIFY(make("hidden/.seed", 0644));
        QVERIFY(QFile::link(path("hidden/.seed"), path("hidden/key")));
        QVERIFY(make("a/othergroup", 0775, 0, 0));
        QVERIFY(make("a/world", 0757));
        QVERIFY(make("a/rootonly", 0700));
        QVERIFY(make("a/unrunnable", 0644));
        QVERIFY(make("a/groupruns", 0750, 0, Supplementary));
        QVERIFY(QFile::link(path("outside/tool"), path("a/out-link")));
        QVERIFY(QFile::link(path("a/tool"), path("outside/in-link")));
        QCOMPARE(::mkfifo(QFile::encodeName(path("a/fifo")).constData(), 0644), 0);
    }

    void parsing()
    {
        QFile::remove(path("tarnd.conf"));
        const ExecPolicy none = ExecPolicy::load(path("tarnd.conf"));
        QVERIFY(!none.active());
        QString resolved;
        QCOMPARE(none.check("anything", std::nullopt, &resolved), QString());
        QCOMPARE(resolved, QString("anything"));

        const ExecPolicy good = policyOf("# tools\n\n  allow-folder=/opt/a/  \r\n\t# more\nallow-folder = /opt//b/./c\n");
        QVERIFY(good.active());
        QCOMPARE(good.folders(), (QStringList{"/opt/a", "/opt/b/c"}));

        // A policy that cannot be used allows nothing, not everything; its reason is logged once.
        for (const QByteArray &bad : {QByteArray("allow-folder = opt/a\n"), QByteArray("allow-folder = /a\nallow = /b\n"),
                                      QByteArray("allow-folder\n"), QByteArray("allow-folder = /caf\xe9\n")}) {
            testsupport::LogCapture log;
            const ExecPolicy p = policyOf(bad);
            QVERIFY2(p.active() && p.folders().isEmpty(), bad.constData());
            QCOMPARE(log.count("cannot be used"), 1);
            QVERIFY(p.check("/bin/sh", client(0), &resolved).contains("cannot be used"));
            QCOMPARE(resolved, QString());
        }
        QFile::remove(path("tarnd.conf"));
        QVERIFY(QFile::link(path("missing"), path("tarnd.conf"))); // a link to nowhere: a policy meant to be there
        QVERIFY(ExecPolicy::load(path("tarnd.conf")).active());
    }

    void check_data()
    {
        QTest::addColumn<QString>("executable"); // relative to the temporary folder when it has a '/'
        QTest::addColumn<int>("uid");            // the client's; -1: its identity is unknown
        QTest::addColumn<QString>("refusal");    // a piece of the refusal; empty when allowed
        QTest::addColumn<QString>("resolved");

        QTest::newRow("root's 0755 in root's 0755") << "a/tool" << 65534 << "" << "a/tool";
        QTest::newRow("bare name on PATH") << "tool" << 65534 << "" << "a/tool";
        QTest::newRow("link outside to inside") << "outside/in-link" << 65534 << "" << "a/tool";
        QTest::newRow("link inside to outside") << "a/out-link" << 65534 << "(" + path("outside/tool") + ") is outside" << "";
        QTest::newRow("prefix sibling") << "ab/tool" << 65534 << "is outside the allowed folders" << "";
        QTest::newRow("the folder itself") << "a/." << 65534 << "is outside" << "";
        QTest::newRow("owned by the client") << "a/owned" << 65534 << "is writable by the client (its owner)" << "";
        QTest::newRow("client's group") << "a/group" << 65534 << "is writable by the client (it may write to it)" << "";
        QTest::newRow("client's other group") << "a/supplementary" << 65534 << "(it may write to it)" << "";
        QTest::newRow("ACL for the client") << "a/acl" << 65534 << "(it may write to it)" << "";
        QTest::newRow("out of the client's reach") << "hidden/key" << 65534 << " does not exist or is out of the client's reach" << "";
        QTest::newRow("another group") << "a/othergroup" << 65534 << "" << "a/othergroup";
        QTest::newRow("world-writable") << "a/world" << 65534 << "(it may write to it)" << "";
        QTest::newRow("open folder between") << "a/deep/er/tool" << 65534
                                             << "in a folder writable by the client: " + path("a/deep") + " (it may write to it)" << "";
        QTest::newRow("client's allowed folder") << "mine/tool" << 65534 << "writable by the client: " + path("mine") + " (its owner)" << "";
        QTest::newRow("a fifo") << "a/fifo" << 65534 << "is not a regular file" << "";
        // Run with the daemon's rights: never what the client could not run itself.
        QTest::newRow("root's alone to run") << "a/rootonly" << 65534 << "is not the client's to run" << "";
        QTest::newRow("nobody's to run") << "a/unrunnable" << 65534 << "is not the client's to run" << "";
        QTest::newRow("the client's group's to run") << "a/groupruns" << 65534 << "" << "a/groupruns";
        QTest::newRow("relative") << "./a/tool" << 65534 << "is a relative path" << "";
        QTest::newRow("not on PATH") << "tarnd-no-such-tool" << 65534 << "not found on the daemon's PATH" << "";
        QTest::newRow("unknown client") << "a/tool" << -1 << "the client's identity cannot be had" << "";
        // Root could change any file anyway: it is held to the folders and to regular files only.
        QTest::newRow("root's own") << "a/owned" << 0 << "" << "a/owned";
        QTest::newRow("root's alone, for root") << "a/rootonly" << 0 << "" << "a/rootonly";
    }

    void check()
    {
        QFETCH(QString, executable);
        QFETCH(int, uid);
        QFETCH(QString, refusal);
        QFETCH(QString, resolved);
        const QString given = executable.contains('/') && !executable.startsWith("./") ? path(executable) : executable;
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(path("a")) + ":" + oldPath);
        const ExecPolicy policy = policyOf("allow-folder = " + path("a").toUtf8() + "\nallow-folder = " + path("mine").toUtf8());
        QString got = "unset";
        const QString text = policy.check(given, uid < 0 ? std::nullopt : std::optional(client(unsigned(uid))), &got);
        qputenv("PATH", oldPath);
        QVERIFY2(refusal.isEmpty() ? text.isEmpty() : text.startsWith("Executable not allowed: " + given) && text.contains(refusal),
                 qPrintable(text));
        QCOMPARE(got, refusal.isEmpty() ? path(resolved) : QString());
    }

    // On Linux no library is looked up in the working folder, so the client's own folder is
    // fine; it is resolved with the client's rights all the same, and the child runs in what
    // was resolved.
    void workingFolder()
    {
        const ExecPolicy policy = policyOf("allow-folder = " + path("a").toUtf8());
        QString got;
        QCOMPARE(policy.checkWorkingDir(path("mine/.."), client(Nobody), &got), QString());
        QCOMPARE(got, m_dir.path());
        QVERIFY(QDir().mkpath(path("hidden/inner")));
        QCOMPARE(policy.checkWorkingDir(path("hidden/inner"), client(Nobody), &got),
                 "Working folder not allowed: " + path("hidden/inner") + " is no folder or is out of the client's reach");
        QVERIFY(policy.checkWorkingDir(path("mine"), std::nullopt, &got).contains("identity cannot be had"));
    }
};

QTEST_GUILESS_MAIN(TestExecPolicy)
#include "tst_execpolicy.moc"
