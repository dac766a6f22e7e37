// The Windows entry: the service runtime of the Qt-free layer (windowsservice_win.cpp) around
// the run body, which takes its arguments in UTF-8 as on Linux. A test build also runs the body
// from a console (--console), where no service manager is there to start it: wine lists no
// sessions and runs services one at a time, and tests want daemons of their own side by side.

#include "service/rundaemon.h"
#include "service/consolestop_win.h"
#include "service/servicehost.h"
#include "service/windowsservice_win.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

constexpr bool TestHooks = TARND_TEST_HOOKS;

class WindowsHost : public ServiceControl
{
public:
    explicit WindowsHost(WindowsService &service) : m_service(service) {}

    void setCustomControlHandler(std::function<void(quint32)> handler) override
    {
        if (!handler) {
            m_service.setCustomControlHandler({});
            return;
        }
        m_service.setCustomControlHandler([handler = std::move(handler)](std::uint32_t code) { handler(code); });
    }
    void reportRunning() override { m_service.reportRunning(); }
    void reportStopped(quint32 exitCode) override { m_service.reportStopped(exitCode); }
    QStringList startArguments() const override
    {
        QStringList out;
        for (const std::wstring &a : m_service.startArguments())
            out.append(QString::fromStdWString(a));
        return out;
    }

private:
    WindowsService &m_service;
};

// Nobody to report to, and no custom controls: a console sends none.
class ConsoleHost : public ServiceControl
{
public:
    void setCustomControlHandler(std::function<void(quint32)>) override {}
    void reportRunning() override {}
    void reportStopped(quint32 exitCode) override { m_exitCode = int(exitCode); }
    int exitCode() const { return m_exitCode; }

private:
    int m_exitCode = 0;
};

} // namespace

int runServiceHost(int argc, wchar_t **argv)
{
    std::vector<QByteArray> utf8;
    utf8.reserve(std::size_t(argc));
    for (int i = 0; i < argc; ++i)
        utf8.push_back(QString::fromWCharArray(argv[i]).toUtf8());
    std::vector<char *> args;
    for (QByteArray &a : utf8)
        args.push_back(a.data());
    args.push_back(nullptr);

    // A production build never leaves the dispatcher: run from a console, it fails there as ever.
    if (TestHooks && std::any_of(argv + 1, argv + argc, [](const wchar_t *a) { return std::wcscmp(a, L"--console") == 0; })) {
        ConsoleHost host;
        const ConsoleStop stop(requestDaemonStop);
        runDaemon(argc, args.data(), host);
        return host.exitCode();
    }
    return runServiceEntry(
        argc, argv,
        [&](WindowsService &service) {
            WindowsHost host(service);
            runDaemon(argc, args.data(), host);
        },
        requestDaemonStop);
}
