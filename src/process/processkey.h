#pragma once

#include <QHash>
#include <QString>

// A supervised process as the daemon tells them apart: the client's name for it ("process-id")
// within the session its start came from. The same name in two sessions names two processes, and
// a client never names a process of another session.
struct ProcessKey
{
    QString id;
    quint32 session = 0;

    ProcessKey() = default;
    // Without a session: a process manager used on its own (tools, tests) has one namespace, 0.
    ProcessKey(const QString &processId, quint32 sessionId = 0) : id(processId), session(sessionId) {}
    ProcessKey(const char *processId) : id(QString::fromUtf8(processId)) {}

    friend bool operator==(const ProcessKey &a, const ProcessKey &b) { return a.session == b.session && a.id == b.id; }
    friend bool operator!=(const ProcessKey &a, const ProcessKey &b) { return !(a == b); }
    friend size_t qHash(const ProcessKey &k, size_t seed = 0) noexcept { return qHashMulti(seed, k.session, k.id); }
};
