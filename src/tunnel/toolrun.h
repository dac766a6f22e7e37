#pragma once
// One run of a short-lived tool that nobody waits on: the answer comes through done, on the
// thread of scope, once the tool has ended, or could not be started, or has run past limitMs
// (then it is killed, given reapMs more to end, and the answer says it did not finish).
// Deleting scope cancels the run: the tool is killed and done is never called.
// The tool has the environment of the service; its output is read once it has ended.

#include "tunnel/tuntools.h"

#include <functional>

class QObject;

void runTool(QObject *scope, const ToolCommand &command, int limitMs, int reapMs,
             std::function<void(const ToolResult &)> done);
