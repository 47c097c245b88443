// Host facts the libraries ask the system for: this PC's IPv4 addresses, the
// folder of a loaded library, the file system and the clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace pf {

// This PC's IPv4 addresses as dotted texts: interfaces that are up, not
// loopback, the first address of each interface in interface order, then the
// further addresses; no duplicates, never "0.0.0.0" or 127.0.0.1.
std::vector<std::string> ListLocalIPv4();

// Folder of the loaded file (library or program) that holds `addressInside`,
// with a trailing '/'. Empty when it cannot be told.
std::string ModuleFolder(const void* addressInside);

// The folder a library keeps its files in ("XML/", "DLLLog/", "LPRLog/",
// "ErrorData/"), with a trailing '/'. It is the folder of the library file
// when that lies outside /usr and the process can create files in it (a
// private copy in an application's folder, a build tree, /opt/...).
// Otherwise it is the per-user folder below, created (mode 0700) when
// missing, so that an installed kit keeps the same files in the same layout
// for every user and never writes under /usr. The per-user folder is taken
// only when, links resolved, it is a folder the effective user owns; one that
// group or others may write is made 0700 first. Empty when no folder can be
// had (no home at all and a library under /usr, a per-user folder that cannot
// be made or that another user owns): the library then keeps no files.
std::string LibraryFolder(const void* addressInside);
// The same choice for a library file in `moduleFolder` (with or without the
// trailing '/'); what LibraryFolder uses, open to tests.
std::string LibraryFolderFor(const std::string& moduleFolder);
// ${XDG_STATE_HOME:-$HOME/.local/state}/device-kit/ by the XDG base
// directory rules: an XDG_STATE_HOME that is not absolute is ignored, and
// without HOME the home comes from the password database. A process whose
// environment cannot be trusted (set-user-ID, set-group-ID, file
// capabilities) reads neither variable: its home is the password database's
// for the effective user. Not created here; empty when no home can be found.
std::string PerUserFolder();
// Makes the missing folders of `path`, a folder that a library keeps files
// in, outermost first. From a per-user folder that LibraryFolder took down
// (that folder included), each level (made or found) must be, links
// resolved, a folder the effective user owns: one that group or others may
// write is made 0700, one of another user is not used (false); new levels
// are made 0700. A link there is followed only when the user made it.
// Elsewhere as MakeFolderPath.
bool MakeLibraryFolderPath(const std::string& path);
// Deletes `path` and everything below it, never following a link: a link,
// at the top or anywhere inside, is removed as a link and what it points at
// stays. The walk goes through descriptors, so a link swapped in for a
// folder while it runs is not followed either. Below a per-user folder that
// LibraryFolder took, a folder of another user is left as it is. Failures
// are ignored.
void RemoveFolderTree(const std::string& path);
// Opens a file that a library keeps, for writing: appended to (created when
// missing) or truncated. Never through a link, and only a plain file; below
// a per-user folder, in a folder that MakeLibraryFolderPath would take (it is
// checked again, and the file opened through it). Null when it cannot be
// opened.
std::FILE* OpenOwnFile(const std::string& path, bool append);

// File system, '/' paths. Exists: the path names anything.
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsLink(const std::string& path);           // a symbolic link itself, not followed
bool MakeDirectory(const std::string& path);    // one level
// Creates every missing folder along an absolute '/'-separated path,
// outermost first, with `mode` (less the umask). True when the whole path
// exists afterwards; a relative path is refused.
bool MakeFolderPath(const std::string& path, unsigned mode = 0777);
bool IsAbsolute(const std::string& path);       // starts with '/'
// Names in a folder, without "." and "..". False when it cannot be read.
bool ListDirectory(const std::string& path, std::vector<std::string>* names);

// Wall clock that tests can move: seconds since the epoch and the millisecond
// of the current second.
struct WallTime {
  int64_t sec;
  int ms;
};
WallTime Now();
std::tm LocalTime(int64_t sec);
std::tm UtcTime(int64_t sec);

// Milliseconds of a monotonic clock, for periods and time-outs.
int64_t MonotonicMs();

namespace test {
// Freezes the wall clock at `epochMs` (milliseconds since the epoch) until
// ThawClock; freezing again moves it.
void FreezeClock(int64_t epochMs);
void ThawClock();
// Stands in for secure_getenv where the folders are chosen (a function that
// answers null for every name plays an untrusted environment); null restores
// secure_getenv.
void SetSecureGetenv(char* (*getenvFn)(const char*));
// Plays a file system without unnamed temporary files (vfat, NFS 3, many
// FUSE file systems) for the question whether a folder may be written.
void RefuseUnnamedTempFiles(bool refuse);
// Called with a sub-folder's path just before RemoveFolderTree opens it
// (null: none).
void SetTreeWalkHook(void (*hook)(const std::string& folder));
}  // namespace test

}  // namespace pf
