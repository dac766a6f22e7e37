#include "testsupport.h"

#include <QFile>
#include <QUuid>
#include <QtTest>

#include <unistd.h>

namespace testsupport {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

bool SocketPair::open()
{
    const QString name = QStringLiteral("tarnd-test-") + QUuid::createUuid().toString(QUuid::Id128);
    if (!server.listen(name))
        return false;
    client = std::make_unique<QLocalSocket>();
    client->connectToServer(name);
    if (!client->waitForConnected(5000))
        return false;
    if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
        return false;
    serverSide = server.nextPendingConnection();
    return serverSide != nullptr;
}

bool isRoot()
{
    return ::geteuid() == 0;
}

} // namespace testsupport
