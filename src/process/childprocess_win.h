#pragma once
// What the Windows child layer offers beyond the portable interface: its interrupt's Ctrl+C, for
// any process, and its test seams (production code never sets those).

#include "process/childprocess.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace childprocess {

// Ctrl+C to every process on the console of pid, retrying for about a second while that console
// is not there yet; the calling process takes no Ctrl+C meanwhile or later, and its own console,
// if any, is given up. False with *error (GetLastError) and a warning in *notes when it could not
// be sent. Thread-safe; it waits for a launch under way and holds up the next one.
bool sendCtrlC(unsigned long pid, std::vector<LogNote> *notes, long *error);

} // namespace childprocess

namespace childprocess::testhook {

// Counts each time a wait inside readOutput ends, whatever ended it: the reader's wake-ups.
extern std::atomic<long> readerWakeups;

// Make an interrupt's AttachConsole, or its GenerateConsoleCtrlEvent once attached, fail with
// this error (0: never): wine has no way to make either fail but with "no console yet".
extern std::atomic<unsigned long> failAttach;
extern std::atomic<unsigned long> failCtrlEvent;

// Called by an interrupt while it is attached to the child's console and ignores Ctrl+C: a test
// launches another child from another thread meanwhile.
using Moment = void (*)();
extern std::atomic<Moment> whileIgnoring;

// Shown each attribute a launch puts into the child's attribute list, before it goes in: what
// the loader makes of the image-load policy cannot be seen under wine.
using AttributeObserver = void (*)(const void *list, std::uintptr_t attribute, const void *value, std::size_t size);
extern std::atomic<AttributeObserver> attributeSeen;

} // namespace childprocess::testhook
