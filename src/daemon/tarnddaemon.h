#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

class CommunicationServer;
class PrivilegeManager;
class ProcessManager;
class SessionBackend;

// The daemon's core: owns the process manager, the communication server and the privilege
// manager, answers client requests, and routes process events to the client that owns them.
class TarnDaemon : public QObject
{
    Q_OBJECT
public:
    explicit TarnDaemon(QObject *parent = nullptr);
    // For tests: a session backend of their own (owned by the daemon from then on).
    TarnDaemon(QObject *parent, SessionBackend *sessions);
    ~TarnDaemon() override;

    bool start();
    void stop();

    ProcessManager *processes() const { return m_processManager; }
    CommunicationServer *communication() const { return m_communicationServer; }

public Q_SLOTS:
    void broadcastClientShutdown();
    void handleClientMessage(const QString &clientId, const QJsonObject &message);
    void onClientConnected(const QString &clientId);
    void onClientDisconnected(const QString &clientId, uint sessionId);
    void onClientTimedOut(const QString &clientId, uint sessionId);
    void broadcastProcessEvent(const QJsonObject &event);
    void onProcessFinished(const QString &processId, int exitCode);

private:
    QJsonObject handleHello(const QString &clientId, const QJsonObject &message, bool *restarting);
    bool clearLogs();

    ProcessManager *m_processManager;
    CommunicationServer *m_communicationServer;
    PrivilegeManager *m_privilegeManager;
    QHash<QString, QString> m_processOwners;
};
