#pragma once

#include "service/logfile.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

class QMessageLogContext;

// Renders every message as "[timestamp] LEVEL: message", writes it to standard error and
// appends it to the log file, rotating that file to one ".old" generation.
//
// The files are written by threads of the sink's own, through bounded queues, so that a slow
// or stalled file system never holds up the thread that logs: past the bound, lines are left
// out of the file (standard error still has them) and counted, and the count is written once
// the queue has drained. There is one writer and one queue for the daemon's own file and one
// for each user (by principal) whose client chose a file, so that a file system of one user's
// choosing that stops answering holds that user's lines only, never the daemon's or another's.
//
// A line logged while a SessionScope is alive on its thread is about that session and goes to
// the file the session's client chose; every other line (those of no session, those of other
// threads, those of a session whose clients chose nothing) goes to the daemon's own file, which
// only root reads. Of a session's clients, the one with the latest hello that is still
// connected decides: a client that leaves takes its choice with it, so a session number used
// again later never writes into a file of whoever had it before. Each file is rotated on its
// own, by its own count of lines.
class LogSink
{
public:
    static constexpr qint64 RotateAboveBytes = 1024 * 1024;
    static constexpr int RotationCheckEvery = 100;
    // A line this long is followed by a size check of its own, so that long lines cannot carry
    // the file far past the rotation size between two checks.
    static constexpr int CheckAfterLineBytes = 4096;

    // What the end of the sink waits, all writers together, for what is queued to be written;
    // a writer still held by a file system that does not answer is left behind after that.
    static constexpr int WriterEndWaitMs = 3000;

    // Of each writer's queue.
    struct QueueBounds
    {
        int lines = 4096;
        qint64 bytes = 4 * 1024 * 1024;
    };

    // defaultDataDir: the folder under which "Tarn/logs" is made; empty means the generic
    // data folder of the account the daemon runs as.
    explicit LogSink(const QString &defaultDataDir = QString());
    LogSink(const QString &defaultDataDir, QueueBounds bounds);
    // Writes what is queued, then ends the writers (see WriterEndWaitMs).
    ~LogSink();
    LogSink(const LogSink &) = delete;
    LogSink &operator=(const LogSink &) = delete;

    // The process-wide sink behind messageHandler.
    static LogSink &instance();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    class SessionScope
    {
    public:
        // No session: the lines are the daemon's, whatever scope is outside.
        explicit SessionScope(std::optional<quint32> session);
        ~SessionScope();
        SessionScope(const SessionScope &) = delete;
        SessionScope &operator=(const SessionScope &) = delete;

    private:
        std::optional<quint32> m_outer;
    };

    struct Target
    {
        QString path;
        logfile::Identity owner;
        QString writer; // whose writer takes its lines: the chooser's principal; empty: the daemon's
    };

    static QString levelName(QtMsgType type);
    static QString formatLine(const QString &timestamp, QtMsgType type, const QString &message);

    void write(QtMsgType type, const QString &message);
    // Waits until every line queued so far is in its file (or left out); false on time-out.
    bool flush(int timeoutMs = 10000);
    // For tests: while held, the writers take nothing from their queues.
    void holdWriter(bool held);
    // Before a file is removed: the lines still queued for it are dropped, and a line being
    // written is waited for (at most timeoutMs), so that nothing logged before the removal turns
    // up in the file after it.
    void discardPending(const QString &path, int timeoutMs = 1000);

    // The daemon's own file.
    QString logFilePath() const;
    // owner: whose rights every create, append, rename and delete of that file runs with.
    void setLogFilePath(const QString &path, const logfile::Identity &owner = logfile::Identity());
    // A client's hello: the session's lines go to path from now on, until another client of the
    // session says hello, or this one leaves while another's choice stands, or the session ends
    // (its number may come back for another user).
    // writer: the client's principal, whose writer takes the file's lines.
    void setSessionLogPath(quint32 session, const QString &client, const QString &path,
                           const logfile::Identity &owner, const QString &writer);
    void forgetClient(const QString &client);
    void forgetSession(quint32 session);
    void forgetClients();
    // The file the session's lines go to; an empty path when its clients chose none.
    Target sessionLogFile(quint32 session) const;

    int messageCount() const { return m_counter.load(); }

private:
    struct Pending
    {
        std::string path;
        logfile::Identity owner;
        QByteArray line;
        quint32 count = 0; // the line's number in its file's count (wrapping)
        bool ownFolder = false; // the daemon's own file: its folder is made when missing
    };

    struct Chosen
    {
        QString client;
        Target target;
        quint32 lines = 0;
        bool left = false; // kept as the session's after its client left, until a newer choice
    };

    // The file of a line logged now on this thread, and the line's number in that file's count.
    struct Next
    {
        Target target;
        quint32 count = 0;
        bool ownFolder = false;
    };
    Next nextLine();
    QString defaultPath() const;

    // One writer: its thread and its queue.
    struct Writer
    {
        std::deque<Pending> queue;
        qint64 queuedBytes = 0;
        int dropped = 0;
        std::string writing; // the file being written, while it is
        bool ended = false;
        std::thread thread; // started with its first line
    };
    // What the writers share with the sink. A writer left behind at the sink's end holds it,
    // and touches nothing of the sink from then on.
    struct Writers
    {
        std::mutex mutex; // guards all of this
        std::condition_variable changed;
        std::map<std::string, std::unique_ptr<Writer>> byKey;
        bool held = false;
        bool quit = false;
        bool abandoned = false; // the sink is gone
        // Writers in a report of their own (a file that cannot be written, lines left out),
        // which calls into the sink: its end waits for them.
        int reporting = 0;
        std::set<std::string> failuresReported; // one warning per chosen path that cannot be written
    };
    static void writerLoop(const std::shared_ptr<Writers> &writers, Writer *writer, LogSink *sink);
    // Returns whether a failure to write a client's file is to be reported.
    static bool writeOut(Writers &writers, const Pending &p);

    const QString m_defaultDataDir;
    const QueueBounds m_bounds;
    mutable QMutex m_mutex; // guards m_override, m_owner, m_ownLines and m_sessions
    QString m_override;
    logfile::Identity m_owner;
    quint32 m_ownLines = 0;
    QHash<quint32, QList<Chosen>> m_sessions; // by session: its clients' choices, the latest last
    std::atomic<int> m_counter{0};
    const std::shared_ptr<Writers> m_writers = std::make_shared<Writers>();
};
