#include "logindmock.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QUuid>
#include <QtTest>

namespace testsupport {

namespace {

const QString Login1 = QStringLiteral("org.freedesktop.login1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/login1");

QString sessionPath(quint32 id)
{
    return ManagerPath + "/session/" + QString::number(id);
}

void end(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

} // namespace

LogindMock::LogindMock() : m_connection("logindmock-" + QUuid::createUuid().toString(QUuid::Id128))
{
    m_logind.setStandardOutputFile(QProcess::nullDevice()); // a line per call, which nobody reads
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

LogindMock::~LogindMock()
{
    QDBusConnection::disconnectFromBus(m_connection);
    end(m_logind);
    end(m_bus);
}

bool LogindMock::start(QString *error)
{
    // A session bus: only this user's processes (the tests' and their daemons') may use it.
    m_bus.start(QStringLiteral("dbus-daemon"),
                {"--session", "--address=unix:path=" + m_dir.path() + "/bus", "--nofork", "--print-address"});
    QByteArray out;
    (void)QTest::qWaitFor([&] {
        m_bus.waitForReadyRead(200);
        return (out += m_bus.readAllStandardOutput()).contains('\n') || m_bus.state() == QProcess::NotRunning;
    }, 20000);
    m_address = QString::fromUtf8(out.left(out.indexOf('\n'))).trimmed();
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, m_connection);
    if (m_address.isEmpty() || !bus.isConnected()) {
        *error = "no bus from dbus-daemon: " + m_bus.errorString();
        return false;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", m_address);
    m_logind.setProcessEnvironment(env);
    // The distribution's interpreter: the one on PATH may lack the dbusmock module.
    m_logind.start(QStringLiteral("/usr/bin/python3"), {"-m", "dbusmock", "--template", "logind"});
    (void)QTest::qWaitFor(
        [&] { return m_logind.state() == QProcess::NotRunning || bus.interface()->isServiceRegistered(Login1); }, 30000);
    if (m_logind.state() == QProcess::NotRunning || !bus.interface()->isServiceRegistered(Login1)) {
        *error = "the logind stand-in did not come up (python3-dbusmock installed?)";
        return false;
    }
    // The template's own GetUser adds a number to a string and so always fails.
    if (!setMethod("GetUser", "u", "o", "ret = dbus.ObjectPath('/org/freedesktop/login1/user/%d' % args[0])")) {
        *error = "cannot set up GetUser";
        return false;
    }
    return true;
}

QVariantList LogindMock::mock(const QString &path, const QString &method, const QVariantList &args, bool *ok,
                              const QString &iface)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Login1, path, iface, method);
    call.setArguments(args);
    const QDBusMessage answer = QDBusConnection(m_connection).call(call, QDBus::Block, 10000);
    *ok = answer.type() == QDBusMessage::ReplyMessage;
    if (!*ok)
        qWarning().noquote() << "logind stand-in:" << method << answer.errorName() << answer.errorMessage();
    return answer.arguments();
}

bool LogindMock::addSession(quint32 id, uint uid, const QString &user, bool active)
{
    return call(ManagerPath, "AddSession", {QString::number(id), QStringLiteral("seat0"), uid, user, active});
}

bool LogindMock::removeSession(quint32 id)
{
    return call(ManagerPath, "RemoveObject", {QVariant::fromValue(QDBusObjectPath(sessionPath(id)))});
}

bool LogindMock::setSession(quint32 id, const QVariantMap &properties)
{
    return call(sessionPath(id), "UpdateProperties", {QStringLiteral("org.freedesktop.login1.Session"), properties});
}

bool LogindMock::setDisplay(uint uid, quint32 session)
{
    QDBusArgument display;
    display.beginStructure();
    display << (session ? QString::number(session) : QString())
            << QDBusObjectPath(session ? sessionPath(session) : QStringLiteral("/"));
    display.endStructure();
    // The stand-in's UpdateProperties cannot take a structure; the plain Set can.
    bool ok = false;
    mock(ManagerPath + "/user/" + QString::number(uid), "Set",
         {QStringLiteral("org.freedesktop.login1.User"), QStringLiteral("Display"),
          QVariant::fromValue(QDBusVariant(QVariant::fromValue(display)))},
         &ok, QStringLiteral("org.freedesktop.DBus.Properties"));
    return ok;
}

bool LogindMock::setMethod(const QString &name, const QString &inSignature, const QString &outSignature,
                           const QString &code)
{
    return call(ManagerPath, "AddMethod",
                {QStringLiteral("org.freedesktop.login1.Manager"), name, inSignature, outSignature, code});
}

int LogindMock::calls(const QString &method)
{
    bool ok = false;
    const QVariantList reply = mock(ManagerPath, "GetMethodCalls", {method}, &ok);
    if (!ok || reply.isEmpty())
        return -1;
    const QDBusArgument list = reply.constFirst().value<QDBusArgument>();
    int n = 0;
    list.beginArray();
    for (; !list.atEnd(); ++n)
        list.asVariant();
    list.endArray();
    return n;
}

bool LogindMock::clearCalls()
{
    return call(ManagerPath, "ClearCalls", {});
}

void LogindMock::stopLogind()
{
    end(m_logind);
}

} // namespace testsupport
