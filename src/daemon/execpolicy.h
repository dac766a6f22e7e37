#pragma once
// Which executables a client may have the daemon start. The daemon runs with the rights of root
// (LocalSystem on Windows) and starts what a client names, so without a policy any local user
// who can reach a socket runs programs with those rights. The policy is a file, off when absent:
//
//   # UTF-8 text; '#' starts a comment line; blank lines are ignored.
//   allow-folder = /opt/tarn/bin
//   allow-folder = /usr/libexec/tarn
//
// One absolute folder per allow-folder line. Anything else in the file (a relative folder, an
// unknown line, text that is not UTF-8) and a file that cannot be read make a policy that allows
// nothing: a broken policy must not quietly become no policy.
//
// An executable is allowed when its canonical path (links and ".." resolved with the client's
// rights; a bare name first looked up on the daemon's PATH) lies strictly inside an allowed folder, it is a regular file,
// and the client can change neither it nor any folder from its own up to the allowed folder
// (see daemon/execfile.h). The daemon then launches that canonical path, not the client's text.

#include "service/logfile.h"

#include <QString>
#include <QStringList>

#include <optional>

class ExecPolicy
{
public:
    static QString defaultPath();

    // No file (nor link) at the path: an inactive policy. Otherwise an active one, which allows
    // nothing when the file cannot be used; the reason is logged here, once.
    static ExecPolicy load(const QString &path);

    bool active() const { return m_active; }
    // The allowed folders, as the file gives them (cleaned of "//", "." and a trailing '/').
    QStringList folders() const { return m_folders; }

    // Empty when the start may go ahead; otherwise the text for the client, naming the rule that
    // refused it. *resolved (when given) gets what the daemon must launch: the canonical path when
    // active, the executable unchanged when not. An active policy refuses a client whose identity
    // is unknown. The client's rights are checked at the moment of the call, and the path is
    // resolved with them: a refusal names nothing the client could not find out itself.
    QString check(const QString &executable, const std::optional<logfile::Identity> &client,
                  QString *resolved) const;

    // Empty when an active policy lets the child run in the working folder `dir` (empty: the
    // daemon's own), and always when the policy is off; otherwise the text for the client. A
    // folder the client can write would put its files in the child's library lookup. *resolved
    // gets the folder to run in: the canonical one when active, `dir` unchanged when not.
    QString checkWorkingDir(const QString &dir, const std::optional<logfile::Identity> &client,
                            QString *resolved) const;

private:
    // The checks of an active, usable policy, on a thread with the client's identity.
    QString checkAsClient(const QString &executable, const logfile::Identity &client, QString *canonicalPath) const;

    bool m_active = false;
    QString m_path;
    QString m_error; // why the file could not be used: then nothing is allowed
    QStringList m_folders;
};
