#pragma once

#include <QObject>
#include <QString>

// Records once, at construction, whether the daemon runs elevated.
class PrivilegeManager : public QObject
{
    Q_OBJECT
public:
    explicit PrivilegeManager(QObject *parent = nullptr);

    // 1 when the process is elevated, else 0; asked anew at every call.
    static int privilegeLevel();
    bool isElevated() const { return m_elevated; }

Q_SIGNALS:
    void elevationChanged(bool elevated);
    void elevationError(const QString &error);

private:
    bool m_elevated;
};
