#pragma once
// A private system bus with a stand-in logind on it (python-dbusmock's logind template), for the
// tests of the Linux session layer, reached through DBUS_SYSTEM_BUS_ADDRESS. Each call blocks
// for at most a few seconds and is false when the stand-in did not take it.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>

namespace testsupport {

class LogindMock
{
public:
    LogindMock();
    ~LogindMock();
    bool start(QString *error);
    QString address() const { return m_address; }

    // A session of class "user", "active" (or "online"); its seat and user made when missing.
    bool addSession(quint32 id, uint uid, const QString &user, bool active = true);
    bool removeSession(quint32 id);
    // Properties of org.freedesktop.login1.Session ("State", "Class").
    bool setSession(quint32 id, const QVariantMap &properties);
    // The user's "Display" session; 0 for none.
    bool setDisplay(uint uid, quint32 session);
    // A manager method whose code is Python that sets "ret" from "args", or raises
    // dbus.exceptions.DBusException.
    bool setMethod(const QString &name, const QString &inSignature, const QString &outSignature, const QString &code);
    // Calls of the manager's method since clearCalls(); -1 when it cannot be told.
    int calls(const QString &method);
    bool clearCalls();
    // Ends the stand-in; the bus stays, so logind is gone as it would be on a real machine.
    void stopLogind();

private:
    QVariantList mock(const QString &path, const QString &method, const QVariantList &args, bool *ok,
                      const QString &iface = QStringLiteral("org.freedesktop.DBus.Mock"));
    bool call(const QString &path, const QString &method, const QVariantList &args)
    {
        bool ok = false;
        mock(path, method, args, &ok);
        return ok;
    }

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_logind;
    QString m_address;
    QString m_connection;
};

} // namespace testsupport
