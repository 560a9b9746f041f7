// The settings file's code page. Settings are kept in the ANSI code page (1251 on a Russian
// computer), as the system's profile functions read them; a file saved as UTF-8 by an editor
// would be read as garbage: every Russian name garbled, a repository folder made under a
// garbled name. Such a file is recognised and refused before anything is read from it.
#pragma once

#include <string>

namespace dorvex {

// True for bytes that begin with the UTF-8 byte-order mark, or that are valid UTF-8 throughout
// and hold at least one multi-byte sequence. Pure ASCII is false (it reads the same in every
// code page); so is text written in code page 1251, whose Russian letters (0xC0-0xFF) are
// almost never followed by exactly the continuation bytes (0x80-0xBF) UTF-8 wants: "Хранилище"
// fails at its second byte.
bool LooksLikeUtf8(const std::string& bytes);

// Empty when the settings file is missing or in the ANSI code page; otherwise the Russian
// message that names the file and the code page to save it in.
std::wstring SettingsEncodingFault(const std::wstring& path);

}  // namespace dorvex
