#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

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

// The hand-over of one process's output from its reader thread to the main thread, and the
// reader's brake. Output waits here until the main thread takes it, so taking it is a plain
// call that can be made at any moment (before an exit is reported, say) without delivering
// queued events. The reader waits while the output handed over and not yet sent passes its
// bound, and while the receiving client is behind.
//
// Threads: push, finish and waitUntilOpen on the reader thread (push also on the main thread,
// once the reader has stopped); everything else on the main thread.
class OutputChannel
{
public:
    // Output read from one process and not yet sent; past this the reader waits. It bounds
    // what the daemon holds, in bytes as read.
    static constexpr qint64 MaxInFlightBytes = 4 * 1024 * 1024;

    // Reader: hands bytes over; true when the main thread has to be told (nothing was waiting).
    bool push(const std::string &out, const std::string &err);
    // Reader: both pipes are at their end.
    void finish();
    // Reader: blocks until reading may go on (true) or stop() is called (false).
    bool waitUntilOpen();

    // Takes everything handed over so far.
    void take(QByteArray *out, QByteArray *err);
    bool ended() const { return m_ended.load(); }
    // Bytes of this process that have gone out as events.
    void consumed(qint64 bytes);
    void setHeld(bool held);
    bool held() const { return m_held.load(); }
    qint64 inFlight() const { return m_inFlight.load(); }
    void stop();
    // For the reader of the next launch.
    void reopen();

private:
    bool open() const { return !m_held.load() && m_inFlight.load() < MaxInFlightBytes; }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    QByteArray m_out; // guarded by m_mutex
    QByteArray m_err; // guarded by m_mutex
    std::atomic<qint64> m_inFlight{0};
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_ended{false};
};

// Reads the child's stdout and stderr on a thread of its own, as fast as the child writes.
class ProcessIOWorker : public QObject
{
    Q_OBJECT
public:
    // Largest piece read from one stream at a time.
    static constexpr std::size_t ReadChunkBytes = 256 * 1024;

    ProcessIOWorker(std::shared_ptr<childprocess::Child> child, std::shared_ptr<OutputChannel> channel);
    ~ProcessIOWorker() override;

public Q_SLOTS:
    void startReading();
    void stopReading();

Q_SIGNALS:
    // Output is waiting in the channel (told once until it is taken).
    void outputReady();
    // Both pipes are at their end: everything the child wrote is in the channel.
    void readingFinished();

private:
    std::shared_ptr<childprocess::Child> m_child;
    std::shared_ptr<OutputChannel> m_channel;
    std::atomic<bool> m_running{false};
};
