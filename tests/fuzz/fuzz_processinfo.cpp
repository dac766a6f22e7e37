// ProcessInfo::validate and ProcessInfo::parse on the JSON object of the input: what validates
// must be launchable as read, and a record parsed again holds nothing of its previous request.

#include "fuzzsupport.h"
#include "process/processinfo.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdint>

namespace {

bool holdsNul(const QString &s)
{
    return s.contains(QChar(0));
}

// A record filled from a request that sets every field, as a relaunch or a reused record has.
ProcessInfo previouslyUsed()
{
    ProcessInfo info;
    info.parse(QJsonObject{{"process-id", "earlier"},
                           {"executable", "/earlier/program"},
                           {"arguments", QJsonArray{"-a", "b"}},
                           {"working-dir", "/earlier"},
                           {"environment", QJsonObject{{"K", "V"}}},
                           {"privileges", "elevated"},
                           {"auto-restart", true},
                           {"max-restart-attempts", 9},
                           {"restart-delay-ms", 5000},
                           {"session-id", 4}});
    info.restartAttempts = 2;
    return info;
}

bool sameRequest(const ProcessInfo &a, const ProcessInfo &b)
{
    return a.processId == b.processId && a.executable == b.executable && a.arguments == b.arguments
        && a.workingDir == b.workingDir && a.environment == b.environment && a.privileges == b.privileges
        && a.autoRestart == b.autoRestart && a.maxRestartAttempts == b.maxRestartAttempts
        && a.restartDelayMs == b.restartDelayMs && a.sessionId == b.sessionId;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(fuzzsupport::dropMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!doc.isObject())
        return 0;
    const QJsonObject request = doc.object();

    const QString problem = ProcessInfo::validate(request);
    ProcessInfo info;
    info.parse(request);
    FUZZ_CHECK(info.restartDelayMs >= ProcessInfo::MinRestartDelayMs);
    if (problem.isEmpty()) {
        FUZZ_CHECK(!info.processId.isEmpty());
        FUZZ_CHECK(!info.executable.isEmpty());
        FUZZ_CHECK(!holdsNul(info.executable) && !holdsNul(info.workingDir));
        FUZZ_CHECK(std::none_of(info.arguments.cbegin(), info.arguments.cend(), holdsNul));
        FUZZ_CHECK(info.maxRestartAttempts >= 0);
    }

    ProcessInfo reused = previouslyUsed();
    reused.parse(request);
    FUZZ_CHECK(sameRequest(reused, info));
    FUZZ_CHECK(reused.restartAttempts == 2);
    return 0;
}
