#pragma once
// A private system bus with a stand-in logind on it (python-dbusmock's logind template), for the
// tests of the Linux session layer. The test process and the daemons it starts reach it through
// DBUS_SYSTEM_BUS_ADDRESS. Both processes it starts end with it, or with stopLogind().
//
// Calls block for at most a few seconds; each is false when the stand-in did not take it.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>

class QDBusMessage;

namespace testsupport {

class LogindMock
{
public:
    LogindMock();
    ~LogindMock();
    // False, with *error set, when dbus-daemon or the stand-in cannot be started.
    bool start(QString *error);
    QString address() const { return m_address; }

    // A session of class "user", in state "active" (or "online"); its seat and user are made
    // when missing.
    bool addSession(quint32 id, uint uid, const QString &user, bool active = true);
    bool removeSession(quint32 id);
    // Properties of the org.freedesktop.login1.Session interface ("State", "Class").
    bool setSession(quint32 id, const QVariantMap &properties);
    // The user's "Display" session; 0 for none.
    bool setDisplay(uint uid, quint32 session);
    // A method of the manager in the stand-in's terms: its code is Python that sets "ret" from
    // "args", or raises dbus.exceptions.DBusException.
    bool setMethod(const QString &name, const QString &inSignature, const QString &outSignature,
                   const QString &code);
    // How often the manager's method was called since clearCalls(); -1 when it cannot be told.
    int calls(const QString &method);
    bool clearCalls();
    // Ends the stand-in; the bus stays, so logind is gone as it would be on a real machine.
    void stopLogind();

private:
    // A call on the org.freedesktop.DBus.Mock interface, unless iface says otherwise.
    bool mock(const QString &path, const QString &method, const QVariantList &args, QDBusMessage *reply = nullptr,
              const QString &iface = QString());

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_logind;
    QString m_address;
    QString m_connection;
};

} // namespace testsupport
