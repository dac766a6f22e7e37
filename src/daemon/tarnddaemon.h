#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
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
    // While an owner has more than this sent and not yet taken, its processes' output is not
    // read (the children slow down instead of the daemon growing); reading resumes below the
    // second bound. Both stay far under the limit at which a stalled client is dropped.
    static constexpr qint64 HoldOutputAboveBytes = 8 * 1024 * 1024;
    static constexpr qint64 ResumeOutputBelowBytes = 2 * 1024 * 1024;

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
    void onClientBytesWritten(const QString &clientId);
    void releaseHeldOutput(const QString &clientId);

    ProcessManager *m_processManager;
    CommunicationServer *m_communicationServer;
    PrivilegeManager *m_privilegeManager;
    QHash<QString, QString> m_processOwners;
    QHash<QString, QSet<QString>> m_heldOutput; // client id -> processes whose reading waits for it
};
