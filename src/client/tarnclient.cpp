#include "tarnclient.h"

#include "servicestart.h"

#include "ipc/framing.h"
#include "ipc/serverpeer.h"
#include "ipc/sessions.h"
#include "ipc/socketpath.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <utility>

struct TarnClient::Reader
{
    framing::FrameReader frames{quint32(MaxIncomingFrame)};
};

// ---- TarnReply ----

TarnReply::TarnReply(TarnClient *client, qint64 requestId, int timeoutMs)
    : m_client(client)
    , m_requestId(requestId)
    , m_timeoutMs(timeoutMs)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (m_client)
            m_client->m_pending.remove(m_requestId);
        finish(Outcome::TimedOut);
    });
    m_timer->start(std::max(0, timeoutMs));
}

TarnReply::~TarnReply()
{
    if (m_client && m_client->m_pending.value(m_requestId) == this)
        m_client->m_pending.remove(m_requestId);
}

bool TarnReply::isOk() const
{
    return m_outcome == Outcome::Answered && m_response.value("status").toString() != QLatin1String("error");
}

QString TarnReply::errorString() const
{
    switch (m_outcome) {
    case Outcome::Pending:
        return QStringLiteral("No answer yet");
    case Outcome::Answered:
        return isOk() ? QString() : m_response.value("error").toString();
    case Outcome::TimedOut:
        return QStringLiteral("No answer from the daemon within %1 ms").arg(m_timeoutMs);
    case Outcome::Lost:
        break;
    }
    const QString why = m_client ? m_client->errorString() : QString();
    return why.isEmpty() ? QStringLiteral("Not connected to the daemon") : why;
}

void TarnReply::finish(Outcome outcome, const QJsonObject &response)
{
    if (m_outcome != Outcome::Pending)
        return;
    m_outcome = outcome;
    m_response = response;
    m_timer->stop();
    Q_EMIT finished();
}

// ---- TarnClient ----

TarnClient::TarnClient(QObject *parent)
    : QObject(parent)
    , m_reader(new Reader)
    , m_heartbeat(new QTimer(this))
    , m_handshake(new QTimer(this))
    , m_retry(new QTimer(this))
{
    m_heartbeat->setInterval(HeartbeatIntervalMs);
    connect(m_heartbeat, &QTimer::timeout, this, [this] {
        // Answers that never came are not waited for forever.
        if (m_heartbeats.size() > 64)
            m_heartbeats.clear();
        m_heartbeats.insert(write(QJsonObject{{"action", "heartbeat"}}));
    });
    m_handshake->setSingleShot(true);
    connect(m_handshake, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("No answer from the daemon at %1 within %2 ms of connecting")
                 .arg(socketPath())
                 .arg(m_handshake->interval()));
    });
    m_retry->setSingleShot(true);
    m_retry->setInterval(ReconnectIntervalMs);
    connect(m_retry, &QTimer::timeout, this, [this] { attempt(m_openTimeoutMs); });
}

TarnClient::~TarnClient()
{
    // Replies outlive their client only as finished ones.
    for (TarnReply *reply : std::as_const(m_pending))
        reply->m_client = nullptr;
    finishPending(TarnReply::Outcome::Lost);
    if (m_socket)
        m_socket->disconnect(this);
}

QString TarnClient::defaultSocketPath()
{
    std::uint32_t session = 1;
    sessions::sessionOfProcess(QCoreApplication::applicationPid(), &session);
    return QString::fromStdString(socketpath::socketPath("tarnd", session));
}

void TarnClient::setSocketPath(const QString &path)
{
    m_socketPath = path;
}

QString TarnClient::socketPath() const
{
    if (m_socketPath.isEmpty())
        return defaultSocketPath();
    return m_socketPath;
}

void TarnClient::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void TarnClient::setAutoReconnect(bool on, int withinMs)
{
    m_autoReconnect = on;
    m_reconnectWindowMs = withinMs;
    if (!on) {
        m_retry->stop();
        m_reconnecting.invalidate();
    }
}

void TarnClient::open(int timeoutMs)
{
    m_retry->stop();
    m_reconnecting.invalidate();
    attempt(timeoutMs);
}

void TarnClient::attempt(int timeoutMs)
{
    m_openTimeoutMs = timeoutMs;
    if (m_state != State::Unconnected)
        disconnectFromDaemon();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
    }
    m_error.clear();
    m_shutdownReason.clear();
    m_daemonVersion.clear();
    m_privilegeLevel.clear();
    m_helloResponse = QJsonObject();
    m_helloId = 0;
    m_heartbeats.clear();
    m_serviceAsked = false;
    m_serviceStarted.invalidate();
    m_reader.reset(new Reader);
    m_socket.reset(new QLocalSocket);
    connect(m_socket.get(), &QLocalSocket::connected, this, &TarnClient::onConnected);
    connect(m_socket.get(), &QLocalSocket::readyRead, this, &TarnClient::onReadyRead);
    connect(m_socket.get(), &QLocalSocket::disconnected, this, &TarnClient::onDisconnected);
    connect(m_socket.get(), &QLocalSocket::errorOccurred, this, &TarnClient::onSocketError);
    setState(State::Connecting);
    m_handshake->start(std::max(0, timeoutMs));
    // A missing socket fails inside connectToServer(); from the event loop, that failure reaches
    // slots the caller connects after open() and an application that has not entered exec() yet.
    QMetaObject::invokeMethod(
        this,
        [this, socket = m_socket.get()] {
            if (m_socket.get() == socket && m_state == State::Connecting)
                socket->connectToServer(socketPath());
        },
        Qt::QueuedConnection);
}

bool TarnClient::connectToDaemon(const QString &path, int timeoutMs)
{
    if (!path.isEmpty())
        setSocketPath(path);
    QEventLoop loop;
    connect(this, &TarnClient::ready, &loop, &QEventLoop::quit);
    connect(this, &TarnClient::daemonLost, &loop, &QEventLoop::quit);
    open(timeoutMs);
    if (m_state != State::Ready && m_state != State::Unconnected)
        loop.exec();
    return isConnected();
}

bool TarnClient::reconnect(int timeoutMs)
{
    return connectToDaemon(QString(), timeoutMs);
}

void TarnClient::disconnectFromDaemon()
{
    m_retry->stop();
    m_reconnecting.invalidate();
    if (m_state == State::Unconnected)
        return;
    m_heartbeat->stop();
    m_handshake->stop();
    setState(State::Unconnected);
    m_error = QStringLiteral("Disconnected from the daemon");
    if (m_socket)
        m_socket->disconnectFromServer(); // what is written still goes out
    finishPending(TarnReply::Outcome::Lost);
}

void TarnClient::fail(const QString &reason)
{
    if (m_state == State::Unconnected)
        return;
    const bool lostReady = m_state == State::Ready || m_helloResponse.value("status") == QLatin1String("restarting");
    m_error = reason;
    m_heartbeat->stop();
    m_handshake->stop();
    setState(State::Unconnected);
    if (m_socket) {
        // Called from the socket's own signals: it goes once they have returned.
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket.release()->deleteLater();
    }
    finishPending(TarnReply::Outcome::Lost);
    if (m_autoReconnect && m_shutdownReason.isEmpty()) {
        if (lostReady && !m_reconnecting.isValid()) {
            m_reconnecting.start();
            m_lossReason = reason;
        }
        // A restarted daemon takes a moment to listen again: attempts are spaced, never spun.
        if (m_reconnecting.isValid() && m_reconnecting.elapsed() + ReconnectIntervalMs < m_reconnectWindowMs) {
            m_retry->start();
            return;
        }
        if (m_reconnecting.isValid()) {
            m_error = QStringLiteral("%1, and no connection could be made again within %2 ms: %3")
                          .arg(m_lossReason)
                          .arg(m_reconnectWindowMs)
                          .arg(reason);
            m_reconnecting.invalidate();
        }
    }
    Q_EMIT daemonLost(m_error);
}

void TarnClient::finishPending(TarnReply::Outcome outcome)
{
    const QHash<qint64, TarnReply *> pending = std::exchange(m_pending, {});
    for (TarnReply *reply : pending)
        reply->finish(outcome);
}

void TarnClient::onConnected()
{
    if (m_state != State::Connecting)
        return;
    // Before anything is sent: whoever made the socket's name first would get the hello, the
    // requests and the processes' input.
    QString expected = QString::fromStdString(serverpeer::daemonPrincipal());
    if (TARND_TEST_HOOKS && qEnvironmentVariableIsSet("TARND_TEST_DAEMON_PRINCIPAL"))
        expected = qEnvironmentVariable("TARND_TEST_DAEMON_PRINCIPAL"); // a daemon run as the tester
    serverpeer::Server server;
    std::string error;
    if (!serverpeer::identify(m_socket->socketDescriptor(), &server, &error))
        return fail(QStringLiteral("Cannot tell who serves %1: %2").arg(socketPath(), QString::fromStdString(error)));
    if (QString::fromStdString(server.principal) != expected)
        return fail(QStringLiteral("Refusing %1: it is served by user %2 (pid %3), not by the daemon's user %4")
                        .arg(socketPath(), QString::fromStdString(server.principal))
                        .arg(server.pid)
                        .arg(QString::fromStdString(serverpeer::daemonAccount())));
    setState(State::Welcoming);
}

void TarnClient::onSocketError()
{
    // Once connected, a broken connection is reported by onDisconnected, with its reason.
    if (m_state != State::Connecting)
        return;
    const bool absent = m_socket->error() == QLocalSocket::ServerNotFoundError;
    if (absent && m_serviceStarted.isValid() && m_serviceStarted.elapsed() < ServiceStartWaitMs) {
        QTimer::singleShot(100, m_socket.get(), [this, socket = m_socket.get()] {
            if (m_state == State::Connecting)
                socket->connectToServer(socketPath());
        });
        return;
    }
    if (absent && m_serviceStarted.isValid())
        return fail(QStringLiteral("The service was started, but its socket %1 did not appear within %2 ms")
                        .arg(socketPath())
                        .arg(ServiceStartWaitMs));
    if (absent && m_autoStart && !m_serviceAsked && socketPath() == defaultSocketPath())
        return startService();
    fail(QStringLiteral("Cannot connect to the daemon at %1: %2").arg(socketPath(), m_socket->errorString()));
}

void TarnClient::startService()
{
    m_serviceAsked = true;
    // The start and the wait for its socket come before the greeting's own bound.
    m_handshake->start(m_handshake->interval() + ServiceStartWaitMs);
    servicestart::startService(m_socket.get(), [this, socket = m_socket.get()](const QString &refusal) {
        if (m_state != State::Connecting)
            return;
        if (!refusal.isEmpty())
            return fail(QStringLiteral("The daemon's socket %1 is absent and %2. An administrator can install tarnd "
                                       "or start it for you.")
                            .arg(socketPath(), refusal));
        m_serviceStarted.start();
        socket->connectToServer(socketPath());
    });
}

void TarnClient::onDisconnected()
{
    if (!m_shutdownReason.isEmpty())
        fail(QStringLiteral("The daemon shut down (%1)").arg(m_shutdownReason));
    else if (m_state == State::Welcoming)
        fail(QStringLiteral("The daemon at %1 closed the connection before greeting (is this the socket of "
                            "this user's session?)")
                 .arg(socketPath()));
    else
        fail(QStringLiteral("The daemon closed the connection"));
}

void TarnClient::onReadyRead()
{
    QLocalSocket *socket = m_socket.get();
    m_reader->frames.append(socket->readAll());
    QJsonObject message;
    // A slot may close or reopen the connection; nothing more is taken from this one then.
    while (m_socket.get() == socket && m_state != State::Unconnected) {
        const auto r = m_reader->frames.next(&message);
        if (r == framing::FrameReader::Result::NeedMore)
            return;
        if (r == framing::FrameReader::Result::Oversized) {
            fail(QStringLiteral("The daemon sent a frame of %1 bytes, more than this client takes (%2)")
                     .arg(m_reader->frames.announcedLength())
                     .arg(MaxIncomingFrame));
            return;
        }
        if (r == framing::FrameReader::Result::Message)
            handleMessage(message);
    }
}

void TarnClient::handleMessage(const QJsonObject &message)
{
    if (message.contains("event")) {
        const QString event = message.value("event").toString();
        const QString id = message.value("process-id").toString();
        if (event == QLatin1String("connected") && m_state == State::Welcoming) {
            m_daemonVersion = message.value("daemon-version").toString();
            m_privilegeLevel = message.value("privilege-level").toVariant().toString();
        }
        if (m_queueEvents)
            m_events.append(message);
        Q_EMIT eventReceived(message);
        if (event == QLatin1String("started"))
            Q_EMIT processStarted(id);
        else if (event == QLatin1String("stdout"))
            Q_EMIT processOutput(id, message.value("data").toString());
        else if (event == QLatin1String("stderr"))
            Q_EMIT processErrorOutput(id, message.value("data").toString());
        else if (event == QLatin1String("finished"))
            Q_EMIT processFinished(id, message.value("data").toString().toInt());
        else if (event == QLatin1String("shutdown")) {
            m_shutdownReason = message.value("reason").toString();
            Q_EMIT shutdownRequested(m_shutdownReason);
        } else if (event == QLatin1String("connected") && m_state == State::Welcoming) {
            if (m_logPath.isEmpty()) {
                becomeReady();
            } else {
                setState(State::Greeting);
                QJsonObject hello{{"action", "client-hello"}, {"log-path", m_logPath}};
                if (!m_clientVersion.isEmpty())
                    hello.insert("version", m_clientVersion);
                m_helloId = write(hello);
            }
        }
        return;
    }

    const qint64 id = message.value("request-id").toInteger(-1);
    if (m_heartbeats.remove(id))
        return;
    if (TarnReply *reply = m_pending.take(id))
        reply->finish(TarnReply::Outcome::Answered, message);
    Q_EMIT responseReceived(message);
    if (id == m_helloId && m_state == State::Greeting) {
        m_helloResponse = message;
        if (message.value("status").toString() == QLatin1String("restarting"))
            fail(QStringLiteral("The daemon is restarting: %1").arg(message.value("reason").toString()));
        else
            becomeReady();
    }
}

void TarnClient::becomeReady()
{
    m_reconnecting.invalidate();
    m_handshake->stop();
    setState(State::Ready);
    if (m_autoHeartbeat)
        m_heartbeat->start();
    Q_EMIT ready();
}

void TarnClient::setAutoHeartbeat(bool on)
{
    m_autoHeartbeat = on;
    if (!on)
        m_heartbeat->stop();
    else if (isConnected())
        m_heartbeat->start();
}

void TarnClient::setEventQueue(bool on)
{
    m_queueEvents = on;
    if (!on)
        m_events.clear();
}

qint64 TarnClient::write(QJsonObject request)
{
    const qint64 id = m_nextId++;
    request.insert("request-id", id);
    m_socket->write(framing::encode(request));
    m_socket->flush();
    return id;
}

qint64 TarnClient::send(const QJsonObject &request)
{
    if (!isConnected())
        return 0;
    return write(request);
}

TarnReply *TarnClient::request(const QJsonObject &request, int timeoutMs)
{
    if (!isConnected()) {
        auto *reply = new TarnReply(this, 0, timeoutMs);
        QTimer::singleShot(0, reply, [reply] { reply->finish(TarnReply::Outcome::Lost); });
        return reply;
    }
    auto *reply = new TarnReply(this, write(request), timeoutMs);
    m_pending.insert(reply->requestId(), reply);
    return reply;
}

void TarnClient::request(const QJsonObject &request, QObject *context, std::function<void(const TarnReply &)> done,
                         int timeoutMs)
{
    TarnReply *reply = this->request(request, timeoutMs);
    reply->setParent(this);
    QObject *receiver = context ? context : this;
    connect(reply, &TarnReply::finished, receiver, [reply, done = std::move(done)] {
        reply->deleteLater();
        done(*reply);
    });
    if (context)
        connect(context, &QObject::destroyed, reply, &QObject::deleteLater);
}

QJsonObject TarnClient::call(const QJsonObject &request, int timeoutMs)
{
    if (!isConnected())
        return QJsonObject();
    std::unique_ptr<TarnReply> reply(this->request(request, timeoutMs));
    if (!reply->isFinished()) {
        QEventLoop loop;
        connect(reply.get(), &TarnReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return reply->response();
}

QJsonObject TarnClient::waitForEvent(const std::function<bool(const QJsonObject &)> &match, int timeoutMs)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(std::max(0, timeoutMs));
    for (;;) {
        for (int i = 0; i < m_events.size(); ++i) {
            if (match(m_events[i]))
                return m_events.takeAt(i);
        }
        if (!deadline.isActive() || !isConnected() || !m_queueEvents)
            return QJsonObject();
        QEventLoop loop;
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &TarnClient::eventReceived, &loop, &QEventLoop::quit);
        connect(this, &TarnClient::daemonLost, &loop, &QEventLoop::quit);
        connect(this, &TarnClient::stateChanged, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

QJsonObject TarnClient::startRequest(const QString &processId, const QString &executable, const QStringList &arguments,
                                     const TarnStartOptions &options)
{
    QJsonObject r{{"action", "start"},
                  {"process-id", processId},
                  {"executable", executable},
                  {"arguments", QJsonArray::fromStringList(arguments)}};
    if (!options.workingDir.isEmpty())
        r.insert("working-dir", options.workingDir);
    if (options.autoRestart)
        r.insert("auto-restart", true);
    if (options.maxRestartAttempts >= 0)
        r.insert("max-restart-attempts", options.maxRestartAttempts);
    if (options.restartDelayMs >= 0)
        r.insert("restart-delay-ms", options.restartDelayMs);
    if (!options.tunDns.isEmpty() || !options.tunInterface.isEmpty())
        r.insert("tun-dns-override", QJsonObject{{"address", options.tunDns}, {"iface", options.tunInterface}});
    return r;
}
