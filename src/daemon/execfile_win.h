#pragma once
// The Windows side of daemon/execfile.h: the rights it asks about, and the one access question
// behind every check, apart from the file system so it can be asked of any security descriptor.

#include <windows.h>

namespace execfile {

// What lets a client change the file itself: its data, its rights, its owner, or whether it is
// there at all. AccessCheck grants an owner WRITE_DAC, so a client's own file counts.
constexpr DWORD FileMask = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE;
// What lets a client put another file in the place of one in a folder, or give itself that right.
constexpr DWORD FolderMask = FILE_ADD_FILE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER;
// A folder below the allowed one must not be deletable either: moved aside, a folder of the
// client's could take its name.
constexpr DWORD InnerFolderMask = FolderMask | DELETE;

// Which rights of `mask` the descriptor grants `token` (an impersonation token, with TOKEN_QUERY);
// any one of them is reported, not only all together. False with *error when AccessCheck fails.
bool grantedBy(PSECURITY_DESCRIPTOR sd, HANDLE token, DWORD mask, DWORD *rights, DWORD *error);

} // namespace execfile
