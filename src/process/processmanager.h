#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

class ManagedProcess;
class QTimer;

// The daemon's supervisor of child processes: the table of supervised processes keyed by the
// client-chosen process id, and the JSON answers and events about them.
class ProcessManager : public QObject
{
    Q_OBJECT
public:
    explicit ProcessManager(QObject *parent = nullptr);
    ~ProcessManager() override;

    QJsonObject startProcess(const QJsonObject &spec);
    QJsonObject stopProcess(const QString &processId);
    QJsonObject killProcess(const QString &processId);
    QJsonObject restartProcess(const QString &processId);
    QJsonObject getProcessStatus(const QString &processId) const;
    QJsonObject listProcesses() const;
    bool writeToProcess(const QString &processId, const QByteArray &data);
    void stopAll(int timeoutMs);

Q_SIGNALS:
    void processEvent(const QJsonObject &event);

private:
    QHash<QString, ManagedProcess *> m_processes;
};
