#pragma once
// UTF-8 <-> UTF-16 for the Windows layer.

#include <string>

namespace wintext {
std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &utf16);
} // namespace wintext
