#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace childprocess {
class Child;
}

// Watches for the child's exit on a thread of its own.
class ProcessMonitorWorker : public QObject
{
    Q_OBJECT
public:
    explicit ProcessMonitorWorker(std::shared_ptr<childprocess::Child> child);
    ~ProcessMonitorWorker() override;

public Q_SLOTS:
    void startMonitoring();
    void stopMonitoring();

Q_SIGNALS:
    void processExited(int exitCode);

private:
    std::shared_ptr<childprocess::Child> m_child;
    std::atomic<bool> m_running{false};
};

// Decides when the reader may read: not while the output already read and not yet sent
// passes its bound, and not while the receiving client is behind.
class OutputGate
{
public:
    // Output read from one process and not yet turned into events; past this the reader waits.
    static constexpr qint64 MaxInFlightBytes = 4 * 1024 * 1024;

    void add(qint64 bytes) { m_inFlight += bytes; }
    void consumed(qint64 bytes);
    void setHeld(bool held);
    bool held() const { return m_held.load(); }
    qint64 inFlight() const { return m_inFlight.load(); }
    // Blocks until reading may go on or stop() is called; false after stop().
    bool waitUntilOpen();
    void stop();
    // For the next reader, after a relaunch.
    void reopen() { m_stopped = false; }

private:
    bool open() const { return !m_held.load() && m_inFlight.load() < MaxInFlightBytes; }

    std::atomic<qint64> m_inFlight{0};
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_stopped{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

// Reads the child's stdout and stderr on a thread of its own, as fast as the child writes.
class ProcessIOWorker : public QObject
{
    Q_OBJECT
public:
    // Largest piece read from one stream at a time.
    static constexpr std::size_t ReadChunkBytes = 256 * 1024;

    ProcessIOWorker(const QString &processId, std::shared_ptr<childprocess::Child> child,
                    std::shared_ptr<OutputGate> gate);
    ~ProcessIOWorker() override;

public Q_SLOTS:
    void startReading();
    void stopReading();

Q_SIGNALS:
    void stdoutReady(const QString &processId, const QByteArray &data);
    void stderrReady(const QString &processId, const QByteArray &data);
    // Both pipes are at their end: everything the child wrote has been handed on.
    void readingFinished();

private:
    const QString m_processId;
    std::shared_ptr<childprocess::Child> m_child;
    std::shared_ptr<OutputGate> m_gate;
    std::atomic<bool> m_running{false};
};
