#include "tunnel/toolrun.h"

#include <QProcess>
#include <QTimer>

namespace {

class ToolRun : public QObject
{
public:
    ToolRun(QObject *scope, int reapMs, std::function<void(const ToolResult &)> done)
        : QObject(scope)
        , m_reapMs(reapMs)
        , m_done(std::move(done))
    {
        m_limit.setSingleShot(true);
        connect(&m_limit, &QTimer::timeout, this, &ToolRun::onLimit);
        connect(&m_process, &QProcess::finished, this, [this] { onEnded(); });
        connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                onEnded();
        });
    }

    ~ToolRun() override
    {
        // Cancelled, or given up at its limit and still not reaped: whoever was to be told has
        // gone, or has been told already.
        m_process.disconnect(this);
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(std::max(m_reapMs, 100));
        }
    }

    void start(const ToolCommand &command, int limitMs)
    {
        m_process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        m_limit.start(limitMs);
        m_process.start(command.program, command.arguments, command.mode);
    }

private:
    enum class Phase { Running, Killed, Answered };

    void onLimit()
    {
        if (m_phase == Phase::Running) {
            m_phase = Phase::Killed;
            m_process.kill();
            if (m_reapMs > 0) {
                m_limit.start(m_reapMs);
                return;
            }
        }
        answer();
    }

    void onEnded()
    {
        if (m_phase == Phase::Answered) {
            deleteLater();
            return;
        }
        answer();
    }

    void answer()
    {
        ToolResult r;
        r.started = m_process.error() != QProcess::FailedToStart;
        r.finished = r.started && m_phase == Phase::Running;
        r.exitCode = r.finished && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        r.out = m_process.readAllStandardOutput();
        r.err = m_process.readAllStandardError();
        r.error = m_process.errorString();
        m_phase = Phase::Answered;
        m_limit.stop();
        // Kept until the tool is reaped, if it has not been yet: a process object destroyed
        // with its process running waits for it.
        if (m_process.state() == QProcess::NotRunning)
            deleteLater();
        const auto done = std::move(m_done);
        done(r);
    }

    const int m_reapMs;
    std::function<void(const ToolResult &)> m_done;
    QProcess m_process{this};
    QTimer m_limit{this};
    Phase m_phase = Phase::Running;
};

} // namespace

void runTool(QObject *scope, const ToolCommand &command, int limitMs, int reapMs,
             std::function<void(const ToolResult &)> done)
{
    auto *run = new ToolRun(scope, reapMs, std::move(done));
    run->start(command, limitMs);
}
