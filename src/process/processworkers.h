#pragma once

#include "process/outputframes.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace childprocess {
class Child;
}

// The thread of one worker. A plain thread, not a QThread: each worker blocks in a single call
// until it is told to stop and never runs an event loop, and a QThread would make one for it
// anyway (a descriptor, and work at every start). What a worker emits reaches the main thread
// queued, as from any other thread.
class WorkerThread
{
public:
    // The body runs on a new thread, unless the system has none to give (its thread or process
    // limit reached): then started() is false and the body never runs. That must cost the one
    // start it was for, never the daemon.
    explicit WorkerThread(std::function<void()> body);
    bool started() const { return m_error == 0; }
    // The error number of a thread that could not be made.
    int error() const { return m_error; }
    // Lets a thread go that finish() did not see end.
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;
    // Waits up to waitMs for the body to return: true once it has and the thread is joined.
    bool finish(int waitMs);

private:
    std::future<void> m_done;
    std::thread m_thread;
    int m_error = 0;
};

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
// reader's brake. The reader makes the finished event frames itself (OutputFrames, one per
// stream); they wait here until the main thread takes them, so taking them is a plain call that
// can be made at any moment (before an exit is reported, say) without delivering queued events.
// The reader waits while the frame bytes made and not yet sent pass their bound, and while the
// receiving client is behind.
//
// Threads: push, finish and waitUntilOpen on the reader thread (push and endRun also on the
// main thread, once the reader has stopped); everything else on the main thread. The reader
// frames its bytes outside the lock, so that the main thread never waits for that work.
class OutputChannel
{
public:
    // Frame bytes made from one process's output and not yet sent; past this the reader waits.
    // It bounds what the daemon holds.
    static constexpr qint64 MaxInFlightBytes = 4 * 1024 * 1024;

    OutputChannel(const QString &processId, qsizetype maxFrameBytes);

    // Reader: frames bytes read. True when the main thread has to be told: frames are finished,
    // or output waits in an open frame that it does not know of (told once until it takes).
    bool push(const std::string &out, const std::string &err);
    // Reader: both pipes are at their end.
    void finish();
    // Reader: blocks until reading may go on (true) or stop() is called (false).
    bool waitUntilOpen();

    // The finished frames, in order. closeOpen: the open frames are finished first, at once or,
    // while the reader is at work on them, by the reader as soon as it is done (which then
    // tells). *pending: whether output is left in open frames for a later take.
    QList<QByteArray> take(bool closeOpen, bool *pending);
    // Frames taken and not sent go back ahead of the rest.
    void giveBack(QList<QByteArray> frames);
    // The run's output has all been read (the reader has stopped): a character still cut at
    // the end becomes U+FFFD, and every open frame is finished.
    void endRun();
    // Nothing is waiting, finished or open (false while the reader is at work).
    bool empty();
    bool ended() const { return m_ended.load(); }
    // Frame bytes of this process that have gone out.
    void consumed(qint64 bytes);
    void setHeld(bool held);
    bool held() const { return m_held.load(); }
    qint64 inFlight() const { return m_inFlight.load(); }
    void stop();
    // For the reader of the next launch.
    void reopen();

private:
    bool open() const { return !m_held.load() && m_inFlight.load() < MaxInFlightBytes; }
    qint64 produced() const { return m_stdout.produced() + m_stderr.produced(); }
    bool hasOpen() const { return m_stdout.hasOpen() || m_stderr.hasOpen(); }
    // Finishes the open frames and counts what that adds. Not while the reader is at work.
    void finishOpen(bool final);
    bool tellLocked();

    std::mutex m_pushMutex; // held through a push, and through endRun
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // The frames' makers belong to the reader while m_encoding, else to whoever holds m_mutex.
    OutputFrames m_stdout;
    OutputFrames m_stderr;
    bool m_encoding = false;       // guarded by m_mutex
    bool m_closeRequested = false; // guarded by m_mutex
    bool m_told = false;           // guarded by m_mutex: told, and not taken since
    bool m_openKnown = false;      // guarded by m_mutex: the last take reported open output
    QList<QByteArray> m_frames;    // guarded by m_mutex
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
    // The channel has something to say (OutputChannel::push).
    void outputReady();
    // Both pipes are at their end: everything the child wrote is in the channel.
    void readingFinished();

private:
    std::shared_ptr<childprocess::Child> m_child;
    std::shared_ptr<OutputChannel> m_channel;
    std::atomic<bool> m_running{false};
};
