#pragma once
// Shared pieces of the native tests.

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);

// A connected pair of local sockets over a private server name.
struct SocketPair
{
    QLocalServer server;
    std::unique_ptr<QLocalSocket> client;
    QLocalSocket *serverSide = nullptr; // child of server
    bool open();
};

// Whether the tests run as root (needed to act as another user).
bool isRoot();

} // namespace testsupport
