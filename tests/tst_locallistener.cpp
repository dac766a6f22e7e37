// The listener of a session's socket with real clients: a Unix socket on Linux, the daemon's own
// pipe instances adopted by QLocalSocket on Windows (run under wine).

#include "ipc/locallistener.h"
#include "ipc/sessions.h"
#include "ipc/socketpath.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestLocalListener : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_principal;
    int m_names = 0;

    QString newName()
    {
        return QString::fromStdString(
            socketpath::socketPath("tst-locallistener-" + std::to_string(QCoreApplication::applicationPid()), ++m_names));
    }

    // A client connected to name, and the listener's socket for it.
    static QLocalSocket *accept(LocalListener &listener, QLocalSocket &client, const QString &name)
    {
        QSignalSpy arrived(&listener, &LocalListener::newConnection);
        client.connectToServer(name);
        if (!client.waitForConnected(10000))
            return nullptr;
        if (!listener.hasPendingConnections() && !arrived.wait(10000))
            return nullptr;
        return listener.nextPendingConnection();
    }

    static QByteArray readSome(QLocalSocket *socket, int size)
    {
        QByteArray got;
        const bool whole = QTest::qWaitFor([&] {
            got += socket->readAll();
            return got.size() >= size;
        }, 10000);
        return whole ? got : got + " (incomplete)";
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("RUNTIME_DIRECTORY", m_dir.path().toLocal8Bit()); // the Linux socket folder
        sessions::SessionInfo self;
        QVERIFY(sessions::ownIdentity(&self));
        m_principal = QString::fromStdString(self.principal);
    }

    void clientsAreServedEachOnItsOwnSocket()
    {
        const QString name = newName();
        LocalListener listener;
        QVERIFY2(listener.listen(name, m_principal), qPrintable(listener.errorString()));
        QVERIFY(listener.isListening());
        QVERIFY(!listener.hasPendingConnections());
        QVERIFY(!listener.nextPendingConnection());

        QLocalSocket a, b;
        std::unique_ptr<QLocalSocket> servedA(accept(listener, a, name));
        std::unique_ptr<QLocalSocket> servedB(accept(listener, b, name));
        QVERIFY(servedA && servedB);
        QCOMPARE(servedA->state(), QLocalSocket::ConnectedState);

        // Both ways, each to its own peer, more than a pipe buffer at once.
        const QByteArray big(300 * 1024, 'x');
        a.write("from a");
        b.write("from b");
        servedA->write(big);
        QCOMPARE(readSome(servedA.get(), 6), QByteArray("from a"));
        QCOMPARE(readSome(servedB.get(), 6), QByteArray("from b"));
        QCOMPARE(readSome(&a, big.size()), big);

        // A client that leaves is seen to leave.
        QSignalSpy gone(servedB.get(), &QLocalSocket::disconnected);
        b.disconnectFromServer();
        QVERIFY(gone.count() > 0 || gone.wait(10000));
    }

    // A busy daemon's loop turns slowly: clients that connected together are all there when the
    // first of them is told, not one a turn.
    void clientsThatCameTogetherAreTakenTogether()
    {
        const QString name = newName();
        LocalListener listener;
        QVERIFY(listener.listen(name, m_principal));
        QSignalSpy arrived(&listener, &LocalListener::newConnection);
        QLocalSocket clients[3];
        for (QLocalSocket &client : clients) {
            client.connectToServer(name);
            QVERIFY(client.waitForConnected(10000));
        }
        QVERIFY(arrived.wait(10000));
        for (int i = 0; i < 3; ++i)
            QVERIFY(listener.nextPendingConnection());
    }

    void listeningAgainWhileClientsStayConnected()
    {
        const QString name = newName();
        auto listener = std::make_unique<LocalListener>();
        QVERIFY(listener->listen(name, m_principal));
        QLocalSocket kept;
        QLocalSocket *served = accept(*listener, kept, name);
        QVERIFY(served);
        served->setParent(nullptr);
        std::unique_ptr<QLocalSocket> owned(served);

        // Closed: nobody new gets in, the connected client stays.
        listener->close();
        QVERIFY(!listener->isListening());
        QLocalSocket refused;
        refused.connectToServer(name);
        QVERIFY(!refused.waitForConnected(2000));

        // A new listener of the same name (the session's socket made again) while the old
        // client is still connected: the name is still this process's own.
        listener = std::make_unique<LocalListener>();
        QVERIFY2(listener->listen(name, m_principal), qPrintable(listener->errorString()));
        QLocalSocket fresh;
        std::unique_ptr<QLocalSocket> servedFresh(accept(*listener, fresh, name));
        QVERIFY(servedFresh);
        kept.write("still here");
        QCOMPARE(readSome(owned.get(), 10), QByteArray("still here"));
        fresh.write("new");
        QCOMPARE(readSome(servedFresh.get(), 3), QByteArray("new"));
    }
};

QTEST_GUILESS_MAIN(TestLocalListener)
#include "tst_locallistener.moc"
