// Links inside the program's own folders (the repository, the session's temporary folder).
// A junction, a symbolic link or a file with a second hard link leads elsewhere: deleting,
// writing or descending through it would touch files that are not the program's. Such an entry
// is removed as the link itself, never followed, or the work that met it stops and names it.
#pragma once

#include <functional>
#include <string>

namespace dorvex {

// True when the entry is a reparse point (a junction, a symbolic link of either kind) or a file
// with more than one name on its volume. A missing entry is no link.
bool IsLinkEntry(const std::wstring& path);

// The first entry of root + relative, level by level below root, that is a link; empty when
// there is none. Missing levels end the walk (they are made later as real folders).
std::wstring LinkOnPath(const std::wstring& root, const std::wstring& relative);

// Makes root + relative safe to write: a link among its folders is refused, and a file there
// that is a link is removed as the link itself, so that the new file is written under a name of
// its own. False, with a Russian message naming the entry, when it cannot be made safe.
bool ClearWritePath(const std::wstring& root, const std::wstring& relative, std::wstring& message);

// The message for a folder that is a link where the program would delete, write or descend.
std::wstring LinkRefusal(const std::wstring& path);

// The seam for what the file system says of an entry: Wine cannot make a junction nor show a
// file symbolic link as one, so tests may declare entries links. Null restores the real probe.
using LinkProbe = std::function<bool(const std::wstring& path)>;
void SetLinkProbeForTests(LinkProbe probe);

}  // namespace dorvex
