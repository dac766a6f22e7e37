#pragma once
// A client of tarnd for Qt applications: one connection to the daemon of this session.
//
// Threads: a TarnClient and its replies live on the thread that made them, which must run an
// event loop; nothing here is thread-safe. The blocking calls (connectToDaemon, call,
// waitForEvent) run a local event loop meanwhile, so signals are delivered during them.
// Failures: a connection that cannot be made, or is lost once made, is reported once by
// daemonLost(reason); requests still waiting then finish as Lost. Nothing is retried on its
// own unless setAutoReconnect() asks for it; else reconnect() is the application's call.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class TarnClient;

// One request in flight. finished() is emitted exactly once: with the daemon's answer, on time-out,
// or when the connection is lost. The reply belongs to whoever asked for it (deleteLater() in a
// slot of finished() is fine); the callback form of TarnClient::request deletes it on its own.
class TarnReply : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Pending, Answered, TimedOut, Lost };
    ~TarnReply() override;

    qint64 requestId() const { return m_requestId; }
    Outcome outcome() const { return m_outcome; }
    bool isFinished() const { return m_outcome != Outcome::Pending; }
    // Answered with any "status" but "error".
    bool isOk() const;
    // The daemon's answer; empty unless Answered.
    QJsonObject response() const { return m_response; }
    // The daemon's "error" text, or what went wrong on this side; empty when isOk().
    QString errorString() const;

Q_SIGNALS:
    void finished();

private:
    friend class TarnClient;
    TarnReply(TarnClient *client, qint64 requestId, int timeoutMs);
    void finish(Outcome outcome, const QJsonObject &response = {});

    TarnClient *m_client;
    qint64 m_requestId;
    int m_timeoutMs;
    Outcome m_outcome = Outcome::Pending;
    QJsonObject m_response;
    QTimer *m_timer;
};

// What a "start" request may carry besides the id, the executable and its arguments. Options not
// given are left to the daemon's defaults.
struct TarnStartOptions
{
    QString workingDir;
    bool autoRestart = false;
    int maxRestartAttempts = -1; // -1: the daemon's default
    int restartDelayMs = -1;     // -1: the daemon's default
    QString tunDns;              // with tunInterface: "tun-dns-override"
    QString tunInterface;
};

class TarnClient : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Unconnected,
        Connecting, // the socket is being opened
        Welcoming,  // waiting for the daemon's "connected"
        Greeting,   // "client-hello" sent, waiting for its answer
        Ready,
    };
    Q_ENUM(State)

    // How often a connected client tells the daemon it is alive, well within its 10 s time-out.
    static constexpr int HeartbeatIntervalMs = 3000;
    static constexpr int DefaultTimeoutMs = 15000;
    // The largest frame taken from the daemon; a larger one ends the connection. The daemon's
    // largest (an event of 1 MiB of output, escaped) is a small part of it.
    static constexpr qint64 MaxIncomingFrame = 64 * 1024 * 1024;

    explicit TarnClient(QObject *parent = nullptr);
    ~TarnClient() override;

    // The socket of the session this process belongs to, by the daemon's own rule.
    static QString defaultSocketPath();
    // The socket to connect to; defaultSocketPath() unless set.
    void setSocketPath(const QString &path);
    QString socketPath() const;

    // What "client-hello" says once the daemon has greeted: the daemon's log file (no hello is
    // sent without one) and this application's version (none: the daemon never restarts for it).
    void setLogPath(const QString &path) { m_logPath = path; }
    void setClientVersion(const QString &version) { m_clientVersion = version; }

    // On by default: when this session's own socket is not there, the service is asked to start
    // (systemd through polkit; Windows' service manager) and its socket awaited for up to
    // ServiceStartWaitMs. A refusal is the daemonLost() reason. Never for a socket chosen elsewhere.
    void setAutoStart(bool on) { m_autoStart = on; }
    static constexpr int ServiceStartWaitMs = 10000;

    // Off by default. On, a ready connection that is lost (the daemon crashed, or quit for a newer
    // client) or a hello answered "restarting" is followed by new attempts, every
    // ReconnectIntervalMs for up to withinMs, each starting the service as open() does and
    // re-sending the hello; ready() follows one that works, daemonLost() comes only once they
    // have all failed. A shutdown the daemon announced, or disconnectFromDaemon(), is left alone.
    void setAutoReconnect(bool on, int withinMs = ReconnectWaitMs);
    static constexpr int ReconnectWaitMs = 20000;
    static constexpr int ReconnectIntervalMs = 500;

    // Starts connecting and returns at once: ready() or daemonLost() follows. timeoutMs bounds
    // the whole handshake (socket, greeting, hello), beyond the wait for a service started.
    void open(int timeoutMs = 5000);
    // Blocking form of open(); with a path, setSocketPath(path) first. True once Ready; false
    // with errorString() (daemonLost() has been emitted too).
    bool connectToDaemon(const QString &socketPath = QString(), int timeoutMs = 5000);
    // After a loss (or any time): closes what is there, connects again and re-sends the hello.
    bool reconnect(int timeoutMs = 5000);
    // Closes the connection on purpose: no daemonLost(); requests waiting finish as Lost.
    void disconnectFromDaemon();

    State state() const { return m_state; }
    bool isConnected() const { return m_state == State::Ready; }
    // From the daemon's "connected" event.
    QString daemonVersion() const { return m_daemonVersion; }
    QString privilegeLevel() const { return m_privilegeLevel; }
    // The daemon's answer to the last hello (empty when none was sent).
    QJsonObject helloResponse() const { return m_helloResponse; }
    // Why the last connection failed or was lost.
    QString errorString() const { return m_error; }

    // On by default: heartbeats go out every HeartbeatIntervalMs while connected and their
    // answers are not reported. Off, the client is silent unless asked, and the daemon drops it.
    void setAutoHeartbeat(bool on);

    // Sends a request with a fresh "request-id" (a counter this client owns; one the request
    // carries is replaced) and returns that id. The answer arrives as responseReceived().
    qint64 send(const QJsonObject &request);
    // Asynchronous call. Without a connection the reply finishes as Lost at the next turn of
    // the event loop, never inside this call.
    TarnReply *request(const QJsonObject &request, int timeoutMs = DefaultTimeoutMs);
    // The same with a callback, run once on finish unless context is gone by then.
    void request(const QJsonObject &request, QObject *context, std::function<void(const TarnReply &)> done,
                 int timeoutMs = DefaultTimeoutMs);
    // Blocking call: the answer, or an empty object on time-out or loss.
    QJsonObject call(const QJsonObject &request, int timeoutMs = DefaultTimeoutMs);

    // For blocking use (scripts, tests): with the queue on, every event is also kept until taken.
    // Off by default, so that an application that only listens to signals keeps nothing.
    void setEventQueue(bool on);
    QList<QJsonObject> &events() { return m_events; }
    // Waits for the next queued event matching the predicate and takes it; empty on time-out
    // or loss. Needs the queue.
    QJsonObject waitForEvent(const std::function<bool(const QJsonObject &)> &match, int timeoutMs = DefaultTimeoutMs);

    // The connection itself, for tests of flow control.
    QLocalSocket *socket() { return m_socket.get(); }

    // A "start" request for the process id, the executable and its arguments.
    static QJsonObject startRequest(const QString &processId, const QString &executable,
                                    const QStringList &arguments, const TarnStartOptions &options = {});

Q_SIGNALS:
    void stateChanged(TarnClient::State state);
    // Connected, greeted, and the hello (if any) answered.
    void ready();
    // The connection could not be made (its server not running as the daemon's user, root /
    // LocalSystem, included), or is gone; once per connection attempt.
    void daemonLost(const QString &reason);
    // The daemon asks its clients to go (before an update, say).
    void shutdownRequested(const QString &reason);

    // Every event, as it arrives, before the typed signals below.
    void eventReceived(const QJsonObject &event);
    void processStarted(const QString &processId);
    void processOutput(const QString &processId, const QString &text);
    void processErrorOutput(const QString &processId, const QString &text);
    void processFinished(const QString &processId, int exitCode);
    // Every response but those of the automatic heartbeats.
    void responseReceived(const QJsonObject &response);

private:
    friend class TarnReply;
    void setState(State state);
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onSocketError();
    void startService();
    void attempt(int timeoutMs);
    void handleMessage(const QJsonObject &message);
    void becomeReady();
    void fail(const QString &reason);
    void finishPending(TarnReply::Outcome outcome);
    qint64 write(QJsonObject request);

    struct Reader;
    std::unique_ptr<QLocalSocket> m_socket;
    std::unique_ptr<Reader> m_reader;
    QTimer *m_heartbeat;
    QTimer *m_handshake;
    State m_state = State::Unconnected;
    QString m_socketPath;
    QString m_logPath;
    QString m_clientVersion;
    QString m_daemonVersion;
    QString m_privilegeLevel;
    QJsonObject m_helloResponse;
    QString m_error;
    QString m_shutdownReason;
    qint64 m_helloId = 0;
    qint64 m_nextId = 1;
    bool m_autoHeartbeat = true;
    bool m_autoStart = true;
    bool m_autoReconnect = false;
    int m_reconnectWindowMs = ReconnectWaitMs;
    int m_openTimeoutMs = 5000;
    // Since a ready connection was lost, while it is being made again; else invalid.
    QElapsedTimer m_reconnecting;
    QString m_lossReason;
    QTimer *m_retry;
    // Since the service manager took the start, while the socket is awaited; else invalid.
    QElapsedTimer m_serviceStarted;
    bool m_serviceAsked = false;
    bool m_queueEvents = false;
    QList<QJsonObject> m_events;
    QSet<qint64> m_heartbeats;
    QHash<qint64, TarnReply *> m_pending;
};
