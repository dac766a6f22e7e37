#pragma once
// Pieces shared by the libFuzzer targets.

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

// A property that does not hold is a finding: abort, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);   \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace fuzzsupport {

// Every message is still formatted (that code is reached too) but none is printed: printing
// would take most of the time of a run. TARND_FUZZ_LOG=1 prints them, to follow one input.
// A fatal message still ends the process.
inline void dropMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const bool shown = qEnvironmentVariableIsSet("TARND_FUZZ_LOG");
    if (shown || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace fuzzsupport
