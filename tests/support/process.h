// What a process holds: its threads, open descriptors (to show that a
// shut-down leaves nothing behind) and resident memory.
#pragma once

#include <functional>
#include <set>
#include <string>

namespace kittest {

int ThreadCount();
// A joined thread leaves /proc/self/task a moment after the join returns, so a
// count that must drop is awaited (bounded) rather than read once.
bool ThreadCountBecomes(int n, int timeoutMs = 3000);
// The ids of the process's threads. A baseline taken just after a shut-down
// may still list threads it joined; a later shut-down that leaves nothing
// behind ends with ids of that baseline only (awaited, bounded).
std::set<int> ThreadIds();
bool OnlyThreadsOf(const std::set<int>& baseline, int timeoutMs = 3000);
int OpenDescriptorCount();
// The process's resident memory in kilobytes (VmRSS), or -1.
long ResidentKb();
// Runs `f` while the process may open no further descriptor (the lowest free
// one becomes the limit), then restores the limit. False when the limit could
// not be changed (and `f` did not run).
bool WithNoFreeDescriptor(const std::function<void()>& f);
// A fresh empty folder under the build's temporary area, with a trailing '/'.
std::string MakeTempFolder(const std::string& tag);
// Makes `folder` one that this process cannot create files in: a read-only
// bind mount of itself in a mount namespace of the calling thread's own (as
// root, or as the root of the test's user namespace), else by its permission
// bits. Threads started afterwards by the calling thread share the view.
// False, with the reason, when the process can still write there.
bool MakeUnwritable(const std::string& folder, std::string* why);
// The user that MakeFolderOfAnotherUser gives folders to where it can.
constexpr unsigned kOtherUid = 65534;
// Makes `folder` (which must not exist) a folder of another user than the
// calling process's effective one: as root, a new folder of uid kOtherUid
// with mode 0777 (so that whatever wrongly wrote there would succeed);
// otherwise (the root of a test user namespace, which maps one id only) a
// read-only bind mount of the system's root folder, whose owner is not
// mapped, over a new folder, in a mount namespace of the calling thread's
// own. False, with the reason, when neither can be had.
bool MakeFolderOfAnotherUser(const std::string& folder, std::string* why);
// Makes `link` a symbolic link to `target` that belongs to uid kOtherUid, as
// another user would have planted it (root only). False, with the reason, and
// no link left, when it cannot be had.
bool MakeLinkOfAnotherUser(const std::string& target, const std::string& link, std::string* why);
// Whole contents of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// The files of a folder (a daily log folder), whole, one after the other in
// name order ("" when there are none).
std::string ReadFolder(const std::string& folder);
// UTF-8 to GBK bytes (for comparing with what the libraries write).
std::string Gbk(const std::string& utf8);

}  // namespace kittest
