// Sessions on Linux are logind's, asked over the system D-Bus. Where logind cannot be reached
// (containers, CI, minimal machines) every process counts as being in one session, number 1,
// whose user is the daemon's own.
//
// Every D-Bus call here blocks the calling thread: in the daemon its lookup and sweep threads,
// and its main thread only at the start, before any client is there. So each call has a short
// time-out, and what logind said at the last listing is kept: a session's id, uid, class and
// state, and per user the object path and the display session. An accepted connection then
// costs no call when the peer sits in a session scope, and at most GetSessionByPID (plus the
// user's Display once per poll) when it does not.

#include "ipc/sessions.h"
#include "service/logging.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Login1 = QStringLiteral("org.freedesktop.login1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString ManagerIface = QStringLiteral("org.freedesktop.login1.Manager");
const QString SessionIface = QStringLiteral("org.freedesktop.login1.Session");
const QString UserIface = QStringLiteral("org.freedesktop.login1.User");

// Per call. logind answers in well under a millisecond; one that takes this long is stuck, and
// the poll after next asks again.
constexpr int CallTimeoutMs = 1000;

struct SessionEntry
{
    QString id;
    uint uid = 0;
    QString user;
    QString seat;
    QDBusObjectPath path;
};

struct UserSessionRef
{
    QString id;
    QDBusObjectPath path;
};

} // namespace

Q_DECLARE_METATYPE(SessionEntry)
Q_DECLARE_METATYPE(UserSessionRef)

QDBusArgument &operator<<(QDBusArgument &arg, const SessionEntry &e)
{
    arg.beginStructure();
    arg << e.id << e.uid << e.user << e.seat << e.path;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, SessionEntry &e)
{
    arg.beginStructure();
    arg >> e.id >> e.uid >> e.user >> e.seat >> e.path;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const UserSessionRef &r)
{
    arg.beginStructure();
    arg << r.id << r.path;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, UserSessionRef &r)
{
    arg.beginStructure();
    arg >> r.id >> r.path;
    arg.endStructure();
    return arg;
}

namespace sessions {

namespace {

// From the machine's own account file only, as the Windows side names local accounts only: behind
// NSS a directory service can take seconds to answer, and peerOf runs on the main thread for
// every connection. A name it does not hold is left as the number.
std::string userName(uid_t uid)
{
    FILE *accounts = std::fopen("/etc/passwd", "re");
    if (!accounts)
        return std::to_string(uid);
    std::string name = std::to_string(uid);
    struct passwd pw;
    struct passwd *entry = nullptr;
    char buf[4096];
    while (fgetpwent_r(accounts, &pw, buf, sizeof buf, &entry) == 0 && entry) {
        if (entry->pw_uid == uid) {
            name = entry->pw_name;
            break;
        }
    }
    std::fclose(accounts);
    return name;
}

bool numericId(const QString &text, std::uint32_t *id)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (ok)
        *id = value;
    return ok;
}

QDBusMessage call(const QString &path, const QString &iface, const QString &method, const QVariantList &args)
{
    QDBusMessage m = QDBusMessage::createMethodCall(Login1, path, iface, method);
    m.setArguments(args);
    return QDBusConnection::systemBus().call(m, QDBus::Block, CallTimeoutMs);
}

bool answered(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
}

QDBusMessage getProperty(const QString &path, const QString &iface, const QString &name)
{
    return call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {iface, name});
}

QVariant propertyValue(const QDBusMessage &reply)
{
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

// A session that went away between the listing and the question about it; anything else
// (no answer, logind gone, a refusal) means the listing cannot be trusted.
bool vanished(const QDBusMessage &reply)
{
    const QString name = reply.errorName();
    return name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")
        || name == QLatin1String("org.freedesktop.login1.NoSuchSession");
}

struct KnownSession
{
    QString path;
    uint uid = 0;
    QString user;
    QString cls;
    QString state;
};

bool serves(const KnownSession &s)
{
    return s.cls == QLatin1String("user") && (s.state == QLatin1String("active") || s.state == QLatin1String("online"))
        && !s.user.isEmpty();
}

class Logind
{
public:
    static Logind &instance()
    {
        static Logind logind;
        return logind;
    }

    bool available() const { return m_available; }

    bool listSessions(QList<SessionEntry> *out)
    {
        const QDBusMessage reply = call(ManagerPath, ManagerIface, QStringLiteral("ListSessions"), {});
        if (!answered(reply))
            return false;
        reply.arguments().constFirst().value<QDBusArgument>() >> *out;
        return true;
    }

    // Lists the sessions anew, asking each one's state (and the class of the ones not seen
    // before). False, with the previous facts kept, when logind does not answer.
    bool refresh(std::vector<SessionInfo> *served)
    {
        QList<SessionEntry> entries;
        if (!listSessions(&entries))
            return false;
        const QHash<std::uint32_t, KnownSession> before = snapshot();
        QHash<std::uint32_t, KnownSession> now;
        std::vector<std::uint32_t> order;
        for (const SessionEntry &e : std::as_const(entries)) {
            std::uint32_t id = 0;
            if (!numericId(e.id, &id)) {
                qCDebug(lcTarnd) << "Skipping logind session with a non-numeric id:" << e.id;
                continue;
            }
            KnownSession s{e.path.path(), e.uid, e.user, QString(), QString()};
            const auto old = before.constFind(id);
            if (old != before.cend() && old->path == s.path && old->uid == s.uid)
                s.cls = old->cls;
            if (s.cls.isEmpty()) {
                const QDBusMessage cls = getProperty(s.path, SessionIface, QStringLiteral("Class"));
                if (vanished(cls))
                    continue;
                if (!answered(cls))
                    return false;
                s.cls = propertyValue(cls).toString();
            }
            const QDBusMessage state = getProperty(s.path, SessionIface, QStringLiteral("State"));
            if (vanished(state))
                continue;
            if (!answered(state))
                return false;
            s.state = propertyValue(state).toString();
            now.insert(id, s);
            order.push_back(id);
        }
        served->clear();
        for (std::uint32_t id : order) {
            const KnownSession s = now.value(id);
            if (serves(s))
                served->push_back({id, s.user.toStdString(), std::to_string(s.uid)});
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions = std::move(now);
        m_order = std::move(order);
        m_listed = true;
        m_displays.clear(); // asked again once per listing
        return true;
    }

    // The session logind itself places pid in, if it belongs to uid.
    bool sessionByPid(std::int64_t pid, uid_t uid, std::uint32_t *session)
    {
        const QDBusMessage reply = call(ManagerPath, ManagerIface, QStringLiteral("GetSessionByPID"),
                                        {QVariant::fromValue(uint(pid))});
        if (!answered(reply))
            return false;
        const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
            // A process that changed its uid inside another user's session (su) is not of it.
            if (it->path == path) {
                if (it->uid != uid)
                    return false;
                *session = it.key();
                return true;
            }
        }
        return false;
    }

    // The user's display session, as logind told it since the last listing.
    bool displayOf(uid_t uid, std::uint32_t *session)
    {
        QString userPath;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto known = m_displays.constFind(uid);
            if (known != m_displays.cend()) {
                if (known->isEmpty())
                    return false;
                return numericId(*known, session);
            }
            userPath = m_userPaths.value(uid);
        }
        if (userPath.isEmpty()) {
            const QDBusMessage reply = call(ManagerPath, ManagerIface, QStringLiteral("GetUser"),
                                            {QVariant::fromValue(uint(uid))});
            if (!answered(reply))
                return false;
            userPath = reply.arguments().constFirst().value<QDBusObjectPath>().path();
        }
        const QDBusMessage reply = getProperty(userPath, UserIface, QStringLiteral("Display"));
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!answered(reply)) {
            m_userPaths.remove(uid); // the user may have logged out; its path is asked again
            return false;
        }
        m_userPaths.insert(uid, userPath);
        UserSessionRef ref;
        propertyValue(reply).value<QDBusArgument>() >> ref;
        m_displays.insert(uid, ref.id);
        return numericId(ref.id, session);
    }

    // The first session of uid that gets a socket, in the order of the last listing.
    bool firstServedOf(uid_t uid, std::uint32_t *session)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (std::uint32_t id : m_order) {
            const KnownSession s = m_sessions.value(id);
            if (s.uid == uid && serves(s)) {
                *session = id;
                return true;
            }
        }
        return false;
    }

    // Whether what logind last said contradicts "session belongs to uid".
    bool ownedByOther(std::uint32_t session, uid_t uid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_sessions.constFind(session);
        return it != m_sessions.cend() && it->uid != uid;
    }

    bool listed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_listed;
    }

private:
    Logind()
    {
        qDBusRegisterMetaType<SessionEntry>();
        qDBusRegisterMetaType<QList<SessionEntry>>();
        qDBusRegisterMetaType<UserSessionRef>();
        QList<SessionEntry> probe;
        m_available = QDBusConnection::systemBus().isConnected() && listSessions(&probe);
        if (m_available)
            qCInfo(lcTarnd) << "User sessions from logind";
        else
            qCInfo(lcTarnd) << "logind cannot be reached; serving a single session (1) for every process";
    }

    QHash<std::uint32_t, KnownSession> snapshot()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions;
    }

    bool m_available = false;
    std::mutex m_mutex; // the facts below; never held across a D-Bus call
    bool m_listed = false;
    QHash<std::uint32_t, KnownSession> m_sessions;
    std::vector<std::uint32_t> m_order;
    QHash<uid_t, QString> m_userPaths;
    QHash<uid_t, QString> m_displays; // session id, empty for none
};

std::int64_t ownerOf(std::int64_t pid)
{
    struct stat st;
    const std::string proc = "/proc/" + std::to_string(pid);
    if (::stat(proc.c_str(), &st) != 0)
        return -1;
    return st.st_uid;
}

// The real uid of a process: its status, else the owner of its /proc entry; -1 when gone.
std::int64_t uidOf(std::int64_t pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (!line.startsWith("Uid:"))
                continue;
            bool ok = false;
            const uint uid = line.mid(4).simplified().split(' ').value(0).toUInt(&ok);
            if (ok)
                return uid;
        }
    }
    return ownerOf(pid);
}

// The session scope of a cgroup path, counted only where logind makes it: directly under the
// slice of uid, which itself is the first "user.slice" of the path. Below that a user may make
// cgroups of its own (its delegated service manager), so any later "session-N.scope" proves
// nothing.
bool scopeOfPath(const QByteArray &path, uid_t uid, std::uint32_t *session)
{
    const QList<QByteArray> parts = path.split('/');
    const qsizetype at = parts.indexOf(QByteArray("user.slice"));
    if (at < 0 || at + 2 >= parts.size())
        return false;
    if (parts[at + 1] != "user-" + QByteArray::number(uid) + ".slice")
        return false;
    const QByteArray &scope = parts[at + 2];
    if (!scope.startsWith("session-") || !scope.endsWith(".scope"))
        return false;
    const QByteArray digits = scope.mid(8, scope.size() - 8 - 6);
    if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    bool ok = false;
    const uint id = digits.toUInt(&ok, 10);
    if (ok)
        *session = id;
    return ok;
}

// From /proc/PID/cgroup: the unified line "0::/path", else the systemd v1 line
// "N:name=systemd:/path". Controllers' own v1 hierarchies are not systemd's and do not count.
bool sessionFromCgroup(std::int64_t pid, uid_t uid, std::uint32_t *session)
{
    QFile f(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QByteArray unified, legacy;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const qsizetype first = line.indexOf(':');
        const qsizetype second = first < 0 ? -1 : line.indexOf(':', first + 1);
        if (second < 0)
            continue;
        const QByteArray hierarchy = line.left(first);
        const QByteArray controllers = line.mid(first + 1, second - first - 1);
        const QByteArray path = line.mid(second + 1);
        if (hierarchy == "0" && controllers.isEmpty())
            unified = path;
        else if (controllers.split(',').contains("name=systemd"))
            legacy = path;
    }
    return scopeOfPath(unified, uid, session) || scopeOfPath(legacy, uid, session);
}

} // namespace

bool ownIdentity(SessionInfo *self)
{
    const uid_t uid = geteuid();
    self->principal = std::to_string(uid);
    self->user = userName(uid);
    return true;
}

std::string sourceName()
{
    return Logind::instance().available() ? "logind" : "single session";
}

bool listActive(std::vector<SessionInfo> &out, std::string *error)
{
    out.clear();
    Logind &logind = Logind::instance();
    if (!logind.available()) {
        out.push_back({1, userName(::geteuid()), std::to_string(::geteuid())});
        return true;
    }
    if (!logind.refresh(&out)) {
        out.clear();
        if (error)
            *error = "ListSessions failed";
        return false;
    }
    return true;
}

bool sessionOfProcess(std::int64_t pid, std::uint32_t *session)
{
    Logind &logind = Logind::instance();
    if (!logind.available()) {
        if (ownerOf(pid) < 0)
            return false;
        *session = 1;
        return true;
    }
    const std::int64_t uid = uidOf(pid);
    if (uid < 0)
        return false;
    const uid_t owner = static_cast<uid_t>(uid);
    std::uint32_t found = 0;
    if (sessionFromCgroup(pid, owner, &found) && !logind.ownedByOther(found, owner)) {
        *session = found;
        return true;
    }
    // Outside any session scope (started by the user's service manager, say): where logind
    // places it, else the display session of its user, else that user's first served session.
    // The answers are checked against the last listing; a process that never listed (a
    // client) lists once.
    if (!logind.listed()) {
        std::vector<SessionInfo> ignored;
        logind.refresh(&ignored);
    }
    if (logind.sessionByPid(pid, owner, &found) || logind.displayOf(owner, &found)
        || logind.firstServedOf(owner, &found)) {
        *session = found;
        return true;
    }
    return false;
}

bool peerOf(std::intptr_t descriptor, PeerInfo *peer)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0)
        return false;
    peer->pid = cred.pid;
    peer->uid = cred.uid;
    peer->gid = cred.gid;
    peer->user = userName(cred.uid);
    peer->principal = std::to_string(cred.uid);
    peer->privileged = cred.uid == 0;
    peer->hasSession = false;
    return true;
}

} // namespace sessions
