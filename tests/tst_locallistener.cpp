// The listener of a session's socket with real clients: a Unix socket on Linux, the daemon's own
// pipe instances adopted by QLocalSocket on Windows (run under wine).

#include "ipc/locallistener.h"
#include "ipc/sessions.h"
#include "ipc/socketpath.h"

#include <QLocalSocket>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestLocalListener : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Three clients that connected together; then, the listener closed (which lets nobody in) and
    // made again while they stay, as the session's socket is made again, a fourth.
    void clientsAreServedEachOnItsOwnSocket()
    {
        QTemporaryDir dir;
        qputenv("RUNTIME_DIRECTORY", dir.path().toLocal8Bit()); // the Linux socket folder
        sessions::SessionInfo self;
        QVERIFY(sessions::ownIdentity(&self));
        const QString principal = QString::fromStdString(self.principal);
        const QString name = QString::fromStdString(
            socketpath::socketPath("tst-locallistener-" + std::to_string(QCoreApplication::applicationPid()), 1));
        auto listener = std::make_unique<LocalListener>();
        QLocalSocket clients[4];
        std::unique_ptr<QLocalSocket> served[4];
        for (const auto &[from, to] : {std::pair{0, 3}, {3, 4}}) {
            if (from > 0) {
                listener->close();
                QLocalSocket refused;
                refused.connectToServer(name);
                QVERIFY(!refused.waitForConnected(2000));
                listener = std::make_unique<LocalListener>();
            }
            QVERIFY2(listener->listen(name, principal), qPrintable(listener->errorString()));
            QVERIFY(!listener->hasPendingConnections() && !listener->nextPendingConnection());
            QSignalSpy arrived(listener.get(), &LocalListener::newConnection);
            for (int i = from; i < to; ++i) {
                clients[i].connectToServer(name);
                QVERIFY(clients[i].waitForConnected(10000));
            }
            // A busy daemon's loop turns slowly: all are there when the first is told, not one a turn.
            QVERIFY(arrived.wait(10000));
            for (int i = from; i < to; ++i) {
                served[i].reset(listener->nextPendingConnection());
                QVERIFY(served[i]);
                served[i]->setParent(nullptr);
            }
        }
        // Each is served on its own socket (which is whose, found by what each hears), both ways,
        // more than a pipe buffer at once.
        QByteArrayList heard;
        for (int i = 0; i < 4; ++i)
            clients[i].write("from " + QByteArray::number(i));
        for (const auto &socket : served) {
            QTRY_VERIFY_WITH_TIMEOUT(socket->bytesAvailable() >= 6, 10000);
            heard << socket->readAll();
        }
        const QSet<QByteArray> expected{"from 0", "from 1", "from 2", "from 3"};
        QCOMPARE(QSet<QByteArray>(heard.begin(), heard.end()), expected);
        const QByteArray big(300 * 1024, 'x');
        served[0]->write(big);
        QLocalSocket &first = clients[heard[0].back() - '0'];
        QTRY_COMPARE_WITH_TIMEOUT(first.bytesAvailable(), big.size(), 10000);
        QCOMPARE(first.readAll(), big);
    }
};

QTEST_GUILESS_MAIN(TestLocalListener)
#include "tst_locallistener.moc"
