// Code pages. This platform's ANSI and OEM code pages are UTF-8 (65001), as on a
// Windows system set to UTF-8: every conversion between UTF-16 and 8-bit text is
// UTF-8, so names survive intact. An unpaired surrogate or an invalid byte becomes '?'.
#pragma once

#include <cstdint>
#include <string>

namespace tolvane::platform {

constexpr uint32_t CP_ACP = 0;
constexpr uint32_t CP_OEMCP = 1;
constexpr uint32_t CP_UTF8 = 65001;

uint32_t GetACP();
uint32_t GetOEMCP();
uint32_t GetConsoleOutputCP();
void SetConsoleOutputCP(uint32_t codePage);

// Every code page this platform knows converts as UTF-8; the tool only ever asks
// for the ANSI, OEM and console pages, which are all UTF-8 here.
std::string WideCharToMultiByte(uint32_t codePage, const std::u16string& text);
std::u16string MultiByteToWideChar(uint32_t codePage, const std::string& text);
// The same into out, whose storage is reused: for loops over many names.
void MultiByteToWideChar(uint32_t codePage, const std::string& text, std::u16string& out);

std::string WideToUtf8(const std::u16string& text);
std::u16string Utf8ToWide(const std::string& text);
void Utf8ToWide(const std::string& text, std::u16string& out);

// The default ANSI code page of a Windows language identifier (what
// LOCALE_IDEFAULTANSICODEPAGE gives); 0 for the Unicode-only locales; GetACP()
// for a language the table does not know.
int32_t DefaultAnsiCodePage(uint32_t language);

}  // namespace tolvane::platform
