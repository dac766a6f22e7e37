// ProcessInfo::read on the JSON object of the input: what it finds no problem in must be
// launchable as read, and a record read again holds nothing of its previous request.

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

// A record filled from a request that sets every field.
ProcessInfo previouslyUsed()
{
    ProcessInfo info;
    info.read(QJsonObject{{"process-id", "earlier"},
                          {"executable", "/earlier/program"},
                          {"arguments", QJsonArray{"-a", "b"}},
                          {"working-dir", "/earlier"},
                          {"environment", QJsonObject{{"K", "V"}}},
                          {"privileges", "elevated"},
                          {"auto-restart", true},
                          {"max-restart-attempts", 9},
                          {"restart-delay-ms", 5000},
                          {"session-id", 4},
                          {"tun-dns-override", QJsonObject{{"address", "10.0.0.1"}, {"iface", "tun0"}}}});
    return info;
}

bool sameRequest(const ProcessInfo &a, const ProcessInfo &b)
{
    return a.processId == b.processId && a.executable == b.executable && a.arguments == b.arguments
        && a.workingDir == b.workingDir && a.environment == b.environment && a.privileges == b.privileges
        && a.autoRestart == b.autoRestart && a.maxRestartAttempts == b.maxRestartAttempts
        && a.restartDelayMs == b.restartDelayMs && a.sessionId == b.sessionId && a.dnsAddress == b.dnsAddress
        && a.dnsInterface == b.dnsInterface;
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

    ProcessInfo info;
    const QString problem = info.read(request);
    FUZZ_CHECK(info.restartDelayMs >= ProcessInfo::MinRestartDelayMs);
    if (problem.isEmpty()) {
        FUZZ_CHECK(!info.processId.isEmpty());
        FUZZ_CHECK(!info.executable.isEmpty());
        FUZZ_CHECK(!holdsNul(info.executable) && !holdsNul(info.workingDir));
        FUZZ_CHECK(std::none_of(info.arguments.cbegin(), info.arguments.cend(), holdsNul));
        FUZZ_CHECK(info.maxRestartAttempts >= 0);
    }

    ProcessInfo reused = previouslyUsed();
    FUZZ_CHECK(reused.read(request) == problem);
    FUZZ_CHECK(sameRequest(reused, info));
    return 0;
}
