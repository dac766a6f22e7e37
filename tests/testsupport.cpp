#include "testsupport.h"
#include "ipc/framing.h"
#include "ipc/sessions.h"
#include "process/processmanager.h"

#include <QMutex>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>
#include <QtTest>

#include <limits>
#include <optional>

namespace testsupport {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

QJsonObject startNow(ProcessManager &pm, const QJsonObject &spec, unsigned session)
{
    ProcessInfo process;
    const QString problem = process.read(spec);
    if (!problem.isEmpty())
        return QJsonObject{{"status", "error"}, {"error", problem}};
    std::optional<QJsonObject> answer;
    pm.startProcess(process, [&answer](const QJsonObject &r) { answer = r; }, session);
    // Generous: a device lookup and removal may take their full time on a busy machine.
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 30000))
        return QJsonObject{{"status", "error"}, {"error", "no answer to the start"}};
    return *answer;
}

QJsonObject decodeFrame(const QByteArray &frame)
{
    framing::FrameReader reader(std::numeric_limits<quint32>::max());
    reader.append(frame);
    QJsonObject message;
    if (reader.next(&message) != framing::FrameReader::Result::Message || reader.buffered() != 0)
        return QJsonObject();
    return message;
}

ProcessEvents::ProcessEvents(ProcessManager &pm)
{
    QObject::connect(&pm, &ProcessManager::processEvent, [this](const QJsonObject &e) { all << e; });
    QObject::connect(&pm, &ProcessManager::processOutput, [this](const ProcessKey &key, const QByteArray &frame) {
        const QString &id = key.id;
        largestFrame = std::max(largestFrame, frame.size());
        QJsonObject e = decodeFrame(frame);
        // A frame for another process than the one it was sent for would be a fault: show it.
        if (e.value("process-id").toString() != id)
            e = QJsonObject{{"process-id", id}, {"event", "undecodable"}};
        all << e;
    });
}

QList<QJsonObject> ProcessEvents::of(const QString &id, const QString &kind) const
{
    QList<QJsonObject> out;
    for (const QJsonObject &e : all)
        if (e.value("process-id").toString() == id && (kind.isEmpty() || e.value("event").toString() == kind))
            out << e;
    return out;
}

QString ProcessEvents::text(const QString &id, const QString &kind) const
{
    QString t;
    for (const QJsonObject &e : of(id, kind))
        t += e.value("data").toString();
    return t;
}

QString ProcessEvents::exitData(const QString &id) const
{
    return of(id, QStringLiteral("finished")).value(0).value("data").toString();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

bool SocketPair::open()
{
    const QString name = QStringLiteral("tarnd-test-") + QUuid::createUuid().toString(QUuid::Id128);
    if (!server.listen(name))
        return false;
    client = std::make_unique<QLocalSocket>();
    client->connectToServer(name);
    if (!client->waitForConnected(5000))
        return false;
    if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
        return false;
    serverSide = server.nextPendingConnection();
    return serverSide != nullptr;
}

namespace {

const QByteArray TagName = "TARND_TEST_TAG";

const QByteArray &tag()
{
    static const QByteArray value = [] {
        const QByteArray v = QUuid::createUuid().toByteArray(QUuid::Id128);
        qputenv(TagName, v);
        return v;
    }();
    return value;
}

} // namespace

// Set before any test starts a process.
const bool tagged = !tag().isEmpty();

QByteArray tagEntry()
{
    (void)tagged;
    return TagName + "=" + tag();
}

namespace {

QStringList g_captured;
// Worker threads log too.
QMutex g_capturedLock;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "tarnd") == 0) {
        QMutexLocker lock(&g_capturedLock);
        g_captured.append(message);
    }
    if (g_previous)
        g_previous(type, context, message);
}

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_capturedLock);
    g_captured.clear();
    g_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previous);
    g_previous = nullptr;
}

QString LogCapture::text() const
{
    QMutexLocker lock(&g_capturedLock);
    return g_captured.join('\n');
}

bool expectDaemonAsTester()
{
    sessions::SessionInfo self;
    if (!sessions::ownIdentity(&self))
        return false;
    qputenv("TARND_TEST_DAEMON_PRINCIPAL", QByteArray::fromStdString(self.principal));
    return true;
}

Daemon::Daemon()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { (void)log(); });
}

Daemon::~Daemon()
{
    // Stopped the daemon's own way, so that its children stop too; killed only past its 10 s
    // stop budget and the flush of its clients.
    if (m_process.state() != QProcess::NotRunning) {
        stop();
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QString Daemon::log()
{
    m_log += m_logFile.isOpen() ? m_logFile.readAll() : m_process.readAll();
    return QString::fromUtf8(m_log);
}

bool Daemon::waitForLog(const QString &text, int timeoutMs)
{
    return QTest::qWaitFor([&] { return log().contains(text); }, timeoutMs);
}

int Daemon::waitForExit(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    log();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool inOrder(const QString &text, const QStringList &needles)
{
    qsizetype from = 0;
    for (const QString &n : needles) {
        const qsizetype at = text.indexOf(n, from);
        if (at < 0)
            return false;
        from = at + n.size();
    }
    return true;
}

QString frameDifference(const QJsonValue &expected, const QJsonValue &actual, const QString &at)
{
    if (expected.isString() && expected.toString().startsWith('<') && expected.toString().endsWith('>'))
        return actual.isUndefined() ? at + " is missing" : QString();
    if (expected.isObject() && actual.isObject()) {
        const QJsonObject e = expected.toObject(), a = actual.toObject();
        for (auto it = a.begin(); it != a.end(); ++it)
            if (!e.contains(it.key()))
                return at + "." + it.key() + " is not expected";
        for (auto it = e.begin(); it != e.end(); ++it)
            if (const QString d = frameDifference(it.value(), a.value(it.key()), at + "." + it.key()); !d.isEmpty())
                return d;
        return QString();
    }
    if (expected.isArray() && actual.isArray()) {
        const QJsonArray e = expected.toArray(), a = actual.toArray();
        if (e.size() != a.size())
            return at + " has " + QString::number(a.size()) + " elements";
        for (int i = 0; i < e.size(); ++i)
            if (const QString d = frameDifference(e[i], a[i], at + "[" + QString::number(i) + "]"); !d.isEmpty())
                return d;
        return QString();
    }
    return expected == actual ? QString() : at + " is " + QJsonDocument(QJsonArray{actual}).toJson(QJsonDocument::Compact);
}

} // namespace testsupport
