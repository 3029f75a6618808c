#include "platform/CodePages.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tolvane::platform {
namespace {

uint32_t gConsoleOutputCP = CP_UTF8;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, uint32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

// Decodes one UTF-8 sequence at text[i]; gives 0xFFFFFFFF for an invalid one and
// advances i past what it consumed (one byte for an invalid sequence).
uint32_t DecodeUtf8(const std::string& text, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  uint32_t cp, min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return 0xFFFFFFFF;
  }
  if (i + extra >= text.size()) {
    ++i;
    return 0xFFFFFFFF;
  }
  for (int k = 1; k <= extra; ++k) {
    uint8_t b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFFFFFF;
    }
    cp = cp << 6 | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFFFFFF;
  }
  i += extra + 1;
  return cp;
}

struct LanguageCodePage {
  uint16_t language;  // a full language identifier, or a primary language alone
  // Read through the tables' lookups, which cppcheck does not follow into constexpr arrays.
  // cppcheck-suppress unusedStructMember
  int16_t codePage;
};

// Sublanguages whose code page differs from their primary language's.
constexpr LanguageCodePage kBySublanguage[] = {
    {0x0000, 1252}, {0x0400, 1252}, {0x0800, 1252},  // neutral and the defaults: English (US)
    {0x0004, 936},  {0x0804, 936},  {0x1004, 936},  {0x7804, 936},  {0x0404, 950},  {0x0C04, 950},  {0x1404, 950},
    {0x7C04, 950},  {0x041A, 1250}, {0x101A, 1250}, {0x141A, 1250}, {0x081A, 1250}, {0x181A, 1250}, {0x241A, 1250},
    {0x2C1A, 1250}, {0x701A, 1250}, {0x7C1A, 1250}, {0x0C1A, 1251}, {0x1C1A, 1251}, {0x281A, 1251}, {0x301A, 1251},
    {0x201A, 1251}, {0x6C1A, 1251}, {0x781A, 1250}, {0x641A, 1251}, {0x681A, 1250}, {0x042C, 1254}, {0x082C, 1251},
    {0x0443, 1254}, {0x0843, 1251}, {0x0450, 1251}, {0x0850, 0},    {0x045D, 0},    {0x085D, 1252}, {0x0846, 1256},
    {0x0859, 1256}, {0x085F, 1252}, {0x0468, 1252},
};

// Primary languages (the low 10 bits of a language identifier).
constexpr LanguageCodePage kByPrimary[] = {
    {0x01, 1256}, {0x02, 1251}, {0x03, 1252}, {0x05, 1250}, {0x06, 1252}, {0x07, 1252}, {0x08, 1253}, {0x09, 1252},
    {0x0A, 1252}, {0x0B, 1252}, {0x0C, 1252}, {0x0D, 1255}, {0x0E, 1250}, {0x0F, 1252}, {0x10, 1252}, {0x11, 932},
    {0x12, 949},  {0x13, 1252}, {0x14, 1252}, {0x15, 1250}, {0x16, 1252}, {0x17, 1252}, {0x18, 1250}, {0x19, 1251},
    {0x1B, 1250}, {0x1C, 1250}, {0x1D, 1252}, {0x1E, 874},  {0x1F, 1254}, {0x20, 1256}, {0x21, 1252}, {0x22, 1251},
    {0x23, 1251}, {0x24, 1250}, {0x25, 1257}, {0x26, 1257}, {0x27, 1257}, {0x28, 1251}, {0x29, 1256}, {0x2A, 1258},
    {0x2B, 0},    {0x2D, 1252}, {0x2E, 1252}, {0x2F, 1251}, {0x32, 1252}, {0x34, 1252}, {0x35, 1252}, {0x36, 1252},
    {0x37, 0},    {0x38, 1252}, {0x39, 0},    {0x3A, 0},    {0x3B, 1252}, {0x3C, 1252}, {0x3E, 1252}, {0x3F, 1251},
    {0x40, 1251}, {0x41, 1252}, {0x42, 1250}, {0x44, 1251}, {0x45, 0},    {0x46, 0},    {0x47, 0},    {0x48, 0},
    {0x49, 0},    {0x4A, 0},    {0x4B, 0},    {0x4C, 0},    {0x4D, 0},    {0x4E, 0},    {0x4F, 0},    {0x50, 1251},
    {0x51, 0},    {0x52, 1252}, {0x53, 0},    {0x54, 0},    {0x56, 1252}, {0x57, 0},    {0x5A, 0},    {0x5B, 0},
    {0x5E, 0},    {0x61, 0},    {0x62, 1252}, {0x63, 0},    {0x64, 1252}, {0x65, 0},    {0x6A, 1252}, {0x6B, 1252},
    {0x6C, 1252}, {0x6D, 1251}, {0x6E, 1252}, {0x6F, 1252}, {0x70, 1252}, {0x78, 0},    {0x7A, 1252}, {0x7C, 1252},
    {0x7E, 1252}, {0x80, 1256}, {0x81, 0},    {0x82, 1252}, {0x83, 1252}, {0x84, 1252}, {0x85, 1251}, {0x86, 1252},
    {0x87, 1252}, {0x88, 1252}, {0x8C, 1256}, {0x92, 1256},
};

// The same tables for lookup: every resource read asks for its language's code page.
constexpr auto kSublanguagesSorted = [] {
  std::array<LanguageCodePage, std::size(kBySublanguage)> sorted{};
  std::copy(std::begin(kBySublanguage), std::end(kBySublanguage), sorted.begin());
  std::sort(sorted.begin(), sorted.end(), [](auto a, auto b) { return a.language < b.language; });
  return sorted;
}();

constexpr int32_t kUnknownPrimary = -1;
constexpr auto kPrimaryCodePages = [] {
  std::array<int32_t, 0x400> table{};
  table.fill(kUnknownPrimary);
  for (const auto& e : kByPrimary) table[e.language] = e.codePage;
  return table;
}();

}  // namespace

uint32_t GetACP() { return CP_UTF8; }
uint32_t GetOEMCP() { return CP_UTF8; }
uint32_t GetConsoleOutputCP() { return gConsoleOutputCP; }
void SetConsoleOutputCP(uint32_t codePage) { gConsoleOutputCP = codePage; }

std::string WideToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += '?';
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

void Utf8ToWide(const std::string& text, std::u16string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = DecodeUtf8(text, i);
    if (cp == 0xFFFFFFFF)
      out += u'?';
    else
      AppendUtf16(out, cp);
  }
}

std::u16string Utf8ToWide(const std::string& text) {
  std::u16string out;
  Utf8ToWide(text, out);
  return out;
}

std::string WideCharToMultiByte(uint32_t, const std::u16string& text) { return WideToUtf8(text); }
std::u16string MultiByteToWideChar(uint32_t, const std::string& text) { return Utf8ToWide(text); }
void MultiByteToWideChar(uint32_t, const std::string& text, std::u16string& out) { Utf8ToWide(text, out); }

int32_t DefaultAnsiCodePage(uint32_t language) {
  if (language > 0xFFFF) return static_cast<int32_t>(GetACP());
  auto sub = std::lower_bound(kSublanguagesSorted.begin(), kSublanguagesSorted.end(), language,
                              [](const LanguageCodePage& e, uint32_t l) { return e.language < l; });
  if (sub != kSublanguagesSorted.end() && sub->language == language) return sub->codePage;
  int32_t primary = kPrimaryCodePages[language & 0x3FF];
  return primary != kUnknownPrimary ? primary : static_cast<int32_t>(GetACP());
}

}  // namespace tolvane::platform
