// What every part of the writer target shares: the bytes of an image, the flags and
// directory entries it reads, reads and writes that fail the run rather than leave
// the bytes, and the program's messages as the model expects them.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "StringTable.h"
#include "support/LittleEndian.h"

namespace tolvane::fuzz {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCode = 0x20, kInitialized = 0x40, kUninitialized = 0x80;
constexpr uint32_t kDiscardable = 0x02000000, kExecute = 0x20000000;
constexpr uint32_t kResourceEntry = 2, kCertificateEntry = 4, kRelocationEntry = 5, kDebugEntry = 6;
constexpr uint32_t kDebugRecord = 28;

[[noreturn]] inline __attribute__((format(printf, 2, 3))) void Wrong(const char* what, const char* format, ...) {
  char detail[600];
  va_list args;
  va_start(args, format);
  std::vsnprintf(detail, sizeof detail, format, args);
  va_end(args);
  Fail(what, detail);
}

inline uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
inline bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

inline uint16_t Get16(const Bytes& b, uint64_t at) {
  if (at > b.size() || b.size() - at < 2) Wrong("model: read outside the bytes", "at 0x%llx", (unsigned long long)at);
  return getU16LE(b.data() + at);
}
inline uint32_t Get32(const Bytes& b, uint64_t at) {
  if (at > b.size() || b.size() - at < 4) Wrong("model: read outside the bytes", "at 0x%llx", (unsigned long long)at);
  return getU32LE(b.data() + at);
}
inline void Put16(Bytes& b, uint64_t at, uint16_t v) {
  if (at > b.size() || b.size() - at < 2) Wrong("model: write outside the bytes", "at 0x%llx", (unsigned long long)at);
  putU16LE(b.data() + at, v);
}
inline void Put32(Bytes& b, uint64_t at, uint32_t v) {
  if (at > b.size() || b.size() - at < 4) Wrong("model: write outside the bytes", "at 0x%llx", (unsigned long long)at);
  putU32LE(b.data() + at, v);
}

// A type or name in a failure report: printable ASCII, the first 40 units.
inline std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s.substr(0, 40)) out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  return out;
}

// One of the program's messages as it gives it, arg for its %s.
inline std::u16string Message(StrId id, const std::u16string& arg = u"") { return Format(LoadResString(id), {arg}); }

}  // namespace tolvane::fuzz
