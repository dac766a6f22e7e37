#pragma once

#include <functional>

// Serves the event loop until done() is true, looked at after every turn of events and at least
// every checkMs, or timeoutMs has passed;
// returns done(). For the few waits of the main thread that must not stop it from serving
// everything else meanwhile (the stop of every child, the last flush to the clients).
bool serveEventsUntil(const std::function<bool()> &done, int timeoutMs, int checkMs);
