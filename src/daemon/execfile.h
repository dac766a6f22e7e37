#pragma once
// What the executable policy asks of the file system, as one small platform layer (plain C++,
// paths in UTF-8). The question is whether a client could change what the daemon runs from a
// file it is about to launch: rewrite the file, change its rights, or replace it through one of
// the folders between it and the allowed folder. A client that can do any of that could make the
// daemon run code of its choosing with the daemon's rights. And whether the client may run the
// file itself: the daemon must not run for it, with its own rights, what it may not run.
//   Linux:   the file and each folder are opened (no link followed) with the client's identity,
//            and the kernel is asked whether that identity may write each one and run the file
//            (so ACLs and every group the client really has count); an owner may change the
//            rights of its own.
//   Windows: AccessCheck with the client's token against each opened object's security.
//
// Threads: any; nothing here keeps state. Fails closed: whatever cannot be opened or examined
// counts as changeable by the client.

#include "service/logfile.h"

#include <functional>
#include <string>

namespace execfile {

// Runs work on a thread of its own that holds the client's file-system identity (Linux: its
// fsuid, fsgid and supplementary groups; Windows: its token), so that whatever work resolves or
// opens is only what the client could reach itself, and nothing of it reaches another thread.
// False, work not run, when that identity cannot be taken on or no thread can be had.
bool asClient(const logfile::Identity &client, const std::function<void()> &work);

// Where the policy file lives: "/etc/tarnd/tarnd.conf", or "tarnd.conf" in the folder of the
// daemon's executable on Windows.
std::string defaultPolicyPath();

// `file` and `folder` are canonical absolute paths (no links, no "." or ".." parts) and `file`
// lies inside `folder`. True when the client could change what runs from `file`, or could not
// run `file` itself (a client other than root), or when that cannot be told (the file is
// missing, no regular file, not inside `folder`, or the client's rights cannot be checked);
// *reason (when given) then completes "Executable not allowed: <file> " ("is writable by the
// client (its owner)", "is in a folder writable by the client: ...", "is not the client's to
// run", ...).
// The folders checked are the file's own and every one above it up to and including `folder`.
// Linux: runs under asClient only.
bool mayNotRun(const std::string &file, const std::string &folder, const logfile::Identity &client,
               std::string *reason = nullptr);

// `folder` is a canonical absolute path. True when the client could put a file into it (where a
// program's DLL or library lookup may find it), change its rights, or swap it, through it or any
// folder above it, for one of its own; or when that cannot be told. *reason completes
// "Working folder not allowed: <folder> ". A root client is held to nothing here. Linux: never
// true, as no library is looked up in the working folder. Runs under asClient.
bool folderWritableBy(const std::string &folder, const logfile::Identity &client, std::string *reason = nullptr);

} // namespace execfile
