#include "daemon/execpolicy.h"

#include "daemon/execfile.h"
#include "service/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

namespace {

constexpr QLatin1String AllowFolder("allow-folder");

// Why the text is not a policy, or an empty text; the folders go to *folders.
QString parse(const QByteArray &bytes, QStringList *folders)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return QStringLiteral("it is not UTF-8 text");
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int eq = int(line.indexOf(QLatin1Char('=')));
        const QString where = QStringLiteral("line %1 (\"%2\")").arg(i + 1).arg(line);
        if (eq < 0 || line.left(eq).trimmed() != AllowFolder)
            return where % QStringLiteral(" is not understood");
        const QString folder = line.mid(eq + 1).trimmed();
        if (folder.isEmpty() || QDir::isRelativePath(folder))
            return where % QStringLiteral(" does not name an absolute folder");
        folders->append(QDir::cleanPath(folder));
    }
    return QString();
}

} // namespace

QString ExecPolicy::defaultPath()
{
    return QString::fromStdString(execfile::defaultPolicyPath());
}

ExecPolicy ExecPolicy::load(const QString &path)
{
    ExecPolicy policy;
    policy.m_path = path;
    const QFileInfo info(path);
    // A dangling link is something at the path: a policy meant to be there, not none.
    if (!info.exists() && !info.isSymLink()) {
        qCInfo(lcTarnd).noquote() << "No executable policy at" << path
                                  << "- a client may start any executable it names";
        return policy;
    }
    policy.m_active = true;
    QFile file(path);
    if (info.isDir())
        policy.m_error = QStringLiteral("it is a folder");
    else if (!file.open(QIODevice::ReadOnly))
        policy.m_error = QStringLiteral("it cannot be read: ") % file.errorString();
    else
        policy.m_error = parse(file.readAll(), &policy.m_folders);
    if (!policy.m_error.isEmpty()) {
        policy.m_folders.clear();
        qCWarning(lcTarnd).noquote() << "The executable policy" << path << "cannot be used, so no executable may be started:"
                                     << policy.m_error;
    } else {
        qCInfo(lcTarnd).noquote() << "Executable policy" << path << "allows the folders:"
                                  << (policy.m_folders.isEmpty() ? QStringLiteral("(none)") : policy.m_folders.join(QStringLiteral(", ")));
    }
    return policy;
}

QString ExecPolicy::check(const QString &executable, const std::optional<logfile::Identity> &client,
                          QString *resolved) const
{
    if (resolved)
        *resolved = m_active ? QString() : executable;
    if (!m_active)
        return QString();
    const QString refused = QStringLiteral("Executable not allowed: ");
    if (!m_error.isEmpty())
        return refused % QStringLiteral("the policy %1 cannot be used, so nothing may be started").arg(m_path);
    if (!client || client->daemon)
        return refused % executable % QStringLiteral(": the client's identity cannot be had");

    // Everything the path leads to is looked at with the client's rights, so neither the answer
    // nor the log tells the client more than it could find out itself.
    QString refusal;
    QString canonical;
    const bool asked = execfile::asClient(*client, [&] { refusal = checkAsClient(executable, *client, &canonical); });
    if (!asked)
        return refused % executable % QStringLiteral(": the client's identity cannot be taken on");
    if (refusal.isEmpty() && resolved)
        *resolved = canonical;
    return refusal;
}

QString ExecPolicy::checkAsClient(const QString &executable, const logfile::Identity &client, QString *canonicalPath) const
{
    const QString refused = QStringLiteral("Executable not allowed: ");
    // A bare name is what the daemon would find on its own PATH. A relative path with a folder
    // in it would be taken from the child's working folder at launch: too loose to check.
    QString found = executable;
    if (!QDir::fromNativeSeparators(executable).contains(QLatin1Char('/'))) {
        found = QStandardPaths::findExecutable(executable);
        if (found.isEmpty())
            return refused % executable % QStringLiteral(" is not found on the daemon's PATH");
    } else if (QDir::isRelativePath(executable)) {
        return refused % executable % QStringLiteral(" is a relative path; name an absolute path or a bare name");
    }
    // Qt answers the path unresolved when a part of it is out of reach (EACCES, ELOOP): a path
    // the client cannot look at (stat, not exists(), which asks access() and so the real uid)
    // is no answer either.
    const QString canonical = QFileInfo(found).canonicalFilePath();
    if (canonical.isEmpty() || !QFileInfo(canonical).metadataChangeTime().isValid())
        return refused % executable % QStringLiteral(" does not exist or is out of the client's reach");
    const QString named = canonical == executable ? executable : executable % QStringLiteral(" (") % canonical % QLatin1Char(')');

    // The folders are resolved now, not at load: a link in one may have changed since. Of nested
    // allowed folders the innermost decides, as if it were the only one.
    QString within;
    for (const QString &folder : m_folders) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (real.isEmpty())
            continue;
        const QString prefix = real.endsWith(QLatin1Char('/')) ? real : real % QLatin1Char('/');
        if (canonical.startsWith(prefix) && real.size() > within.size())
            within = real;
    }
    if (within.isEmpty()) {
        if (m_folders.isEmpty())
            return refused % named % QStringLiteral(" is not allowed: %1 allows no folder").arg(m_path);
        return refused % named
            % QStringLiteral(" is outside the allowed folders (%1) of %2").arg(m_folders.join(QStringLiteral(", ")), m_path);
    }

    std::string reason;
    if (execfile::mayNotRun(canonical.toStdString(), within.toStdString(), client, &reason))
        return refused % named % QLatin1Char(' ') % QString::fromStdString(reason);
    *canonicalPath = canonical;
    return QString();
}

QString ExecPolicy::checkWorkingDir(const QString &dir, const std::optional<logfile::Identity> &client,
                                    QString *resolved) const
{
    *resolved = dir;
    if (!m_active || dir.isEmpty())
        return QString();
    const QString refused = QStringLiteral("Working folder not allowed: ") % dir;
    if (!client || client->daemon)
        return refused % QStringLiteral(": the client's identity cannot be had");
    // Resolved with the client's rights, as the executable is: the answer tells it nothing of
    // what it cannot see.
    QString refusal;
    const bool asked = execfile::asClient(*client, [&] {
        const QString canonical = QFileInfo(dir).canonicalFilePath();
        std::string reason;
        if (canonical.isEmpty() || !QFileInfo(canonical).isDir())
            refusal = refused % QStringLiteral(" is no folder or is out of the client's reach");
        else if (execfile::folderWritableBy(canonical.toStdString(), *client, &reason))
            refusal = refused % QLatin1Char(' ') % QString::fromStdString(reason);
        else
            *resolved = canonical;
    });
    if (!asked)
        return refused % QStringLiteral(": the client's identity cannot be taken on");
    return refusal;
}
