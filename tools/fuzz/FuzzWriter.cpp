// The image writer judged, not only run. Each input picks a real image (or builds
// one) and a .RES file, changes both in ways the fuzzer chooses, merges them as -o
// does, and holds the image written against a small model of a right image kept
// here, apart from the writer: the merge rule, where every section goes, what moves
// with the sections, the bytes that must not change, the appended bytes, the
// checksum, and a second save that changes nothing. A refusal must be one the model
// expects, in one of the program's messages, with nothing written.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "FuzzSupport.h"
#include "StringTable.h"
#include "WriterFiles.h"
#include "builders/ImageBuilder.h"
#include "builders/ResBuilder.h"
#include "platform/CodePages.h"
#include "tolvane.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCode = 0x20, kInitialized = 0x40, kUninitialized = 0x80;
constexpr uint32_t kDiscardable = 0x02000000, kExecute = 0x20000000;
constexpr uint32_t kResourceEntry = 2, kCertificateEntry = 4, kRelocationEntry = 5, kDebugEntry = 6;
constexpr uint32_t kDebugRecord = 28;

[[noreturn]] __attribute__((format(printf, 2, 3))) void Wrong(const char* what, const char* format, ...) {
  char detail[600];
  va_list args;
  va_start(args, format);
  std::vsnprintf(detail, sizeof detail, format, args);
  va_end(args);
  Fail(what, detail);
}

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint16_t Get16(const Bytes& b, uint64_t at) {
  if (at > b.size() || b.size() - at < 2) Wrong("model: read outside the bytes", "at 0x%llx", (unsigned long long)at);
  return getU16LE(b.data() + at);
}
uint32_t Get32(const Bytes& b, uint64_t at) {
  if (at > b.size() || b.size() - at < 4) Wrong("model: read outside the bytes", "at 0x%llx", (unsigned long long)at);
  return getU32LE(b.data() + at);
}
void Put16(Bytes& b, uint64_t at, uint16_t v) {
  if (at > b.size() || b.size() - at < 2) Wrong("model: write outside the bytes", "at 0x%llx", (unsigned long long)at);
  putU16LE(b.data() + at, v);
}
void Put32(Bytes& b, uint64_t at, uint32_t v) {
  if (at > b.size() || b.size() - at < 4) Wrong("model: write outside the bytes", "at 0x%llx", (unsigned long long)at);
  putU32LE(b.data() + at, v);
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s.substr(0, 40)) out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  return out;
}

// ---- the image as the model reads it ----

// One section header, and the section as the program's reader takes it: a zero
// VirtualSize means SizeOfRawData, and raw bytes past the VirtualSize are padding.
struct TSection {
  uint32_t at = 0;  // the header's offset in the file
  std::string name;
  uint32_t vs = 0, va = 0, raw = 0, ptr = 0, relocations = 0, linenumbers = 0, characteristics = 0;
  uint16_t relocationCount = 0, linenumberCount = 0;

  uint32_t Vs() const { return vs == 0 ? raw : vs; }
  uint32_t Kept() const { return raw < vs ? raw : Vs(); }
  uint32_t Uninitialized() const { return raw < vs ? vs - raw : 0; }
  bool Discardable() const { return (characteristics & kDiscardable) != 0; }
  bool HoldsAddress(uint32_t rva) const { return rva >= va && uint64_t(rva) - va < vs; }
  // Discardable, holding neither code, the entry point nor a page of base
  // relocations: what may move as such.
  bool DiscardableData(uint32_t entryPoint, const std::vector<uint32_t>& relocatedPages) const {
    return Discardable() && (characteristics & (kCode | kExecute)) == 0 &&
           !(entryPoint != 0 && HoldsAddress(entryPoint)) &&
           std::none_of(relocatedPages.begin(), relocatedPages.end(),
                        [&](uint32_t page) { return HoldsAddress(page); });
  }
  // What the writer moves an address with: a section that had an address, up to
  // the next multiple of SectionAlignment (the loader maps that slack too).
  bool HoldsRva(uint32_t rva, uint32_t sa) const {
    return va != 0 && rva >= va && uint64_t(rva) - va < AlignUp(Vs(), sa);
  }
  bool HoldsOffset(uint32_t offset) const {
    return va != 0 && raw != 0 && offset >= ptr && uint64_t(offset) - ptr < raw;
  }
};

struct TPe {
  const Bytes* b = nullptr;
  uint32_t peAt = 0, optAt = 0, tableAt = 0, headersEnd = 0;
  uint16_t optionalSize = 0;
  uint32_t directoryCount = 0;
  std::vector<TSection> sections;
  uint64_t commentSize = 0;  // bytes between the section table and the first section's data
  uint64_t firstData = 0;    // the lowest PointerToRawData, 0 when no section names one
  uint64_t sectionsEnd = 0;  // where the appended bytes begin

  bool Parse(const Bytes& bytes) {
    b = &bytes;
    sections.clear();
    if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
    peAt = Get32(bytes, 60);
    if (uint64_t(peAt) + 24 + 96 > bytes.size()) return false;
    optionalSize = Get16(bytes, peAt + 20);
    uint16_t count = Get16(bytes, peAt + 6);
    optAt = peAt + 24;
    if (optionalSize < 96 || uint64_t(optAt) + optionalSize + 40ull * count > bytes.size()) return false;
    tableAt = optAt + optionalSize;
    headersEnd = tableAt + 40u * count;
    directoryCount = std::min<uint32_t>(Get32(bytes, optAt + 92), (optionalSize - 96u) / 8u);
    firstData = 0;
    sectionsEnd = headersEnd;
    for (uint32_t i = 0; i < count; ++i) {
      TSection s;
      s.at = tableAt + 40 * i;
      const uint8_t* name = bytes.data() + s.at;
      s.name.assign(reinterpret_cast<const char*>(name), std::find(name, name + 8, 0) - name);
      s.vs = Get32(bytes, s.at + 8);
      s.va = Get32(bytes, s.at + 12);
      s.raw = Get32(bytes, s.at + 16);
      s.ptr = Get32(bytes, s.at + 20);
      s.relocations = Get32(bytes, s.at + 24);
      s.linenumbers = Get32(bytes, s.at + 28);
      s.relocationCount = Get16(bytes, s.at + 32);
      s.linenumberCount = Get16(bytes, s.at + 34);
      s.characteristics = Get32(bytes, s.at + 36);
      if (s.ptr != 0 && (firstData == 0 || s.ptr < firstData)) firstData = s.ptr;
      if (s.raw != 0) sectionsEnd = std::max(sectionsEnd, std::min<uint64_t>(uint64_t(s.ptr) + s.raw, bytes.size()));
      sections.push_back(s);
    }
    commentSize = firstData > headersEnd ? firstData - headersEnd : 0;
    sectionsEnd = std::max(sectionsEnd, headersEnd + commentSize);  // never inside the comment block
    return true;
  }

  uint32_t Opt32(uint32_t field) const { return Get32(*b, optAt + field); }
  uint32_t FileAlignment() const { return Opt32(36); }
  uint32_t SectionAlignment() const { return Opt32(32); }
  uint32_t DirAt(uint32_t k) const { return optAt + 96 + 8 * k; }
  uint32_t DirVa(uint32_t k) const { return Get32(*b, DirAt(k)); }
  uint32_t DirSize(uint32_t k) const { return Get32(*b, DirAt(k) + 4); }
  uint32_t StubSize() const { return peAt > 64 ? peAt - 64 : 0; }
  bool IsDll() const { return (Get16(*b, peAt + 22) & 0x2000) != 0; }

  // The section data directory entry 2 points into, as the program finds it (any
  // section, the first that holds the address, and only for a non-zero size).
  int ResourceSection(uint32_t& offset) const {
    if (directoryCount <= kResourceEntry) return -1;
    uint32_t rva = DirVa(kResourceEntry);
    for (size_t i = 0; i < sections.size(); ++i) {
      const TSection& s = sections[i];
      if (s.va <= rva && uint64_t(rva) < uint64_t(s.va) + s.Vs()) {
        if (DirSize(kResourceEntry) == 0) return -1;
        offset = rva - s.va;
        return static_cast<int>(i);
      }
    }
    return -1;
  }
};

// ---- the program's messages ----

std::u16string Message(StrId id, const std::u16string& arg = u"") { return Format(LoadResString(id), {arg}); }

// Whether text is one of the program's messages, whatever stands for its %s, %d or %p.
bool IsProgramMessage(const std::u16string& text) {
  for (int id = 0; id < static_cast<int>(StrId::Count_); ++id) {
    const std::u16string& pattern = LoadResString(static_cast<StrId>(id));
    std::vector<std::u16string> pieces(1);
    for (size_t i = 0; i < pattern.size(); ++i) {
      if (pattern[i] == u'%' && i + 1 < pattern.size() &&
          std::u16string(u"sdp").find(pattern[i + 1]) != std::u16string::npos) {
        pieces.emplace_back();
        ++i;
      } else {
        pieces.back() += pattern[i];
      }
    }
    if (pieces.size() == 1) {
      if (text == pieces[0]) return true;
      continue;
    }
    // Literal pieces in order, the first at the start and the last at the end.
    if (text.compare(0, pieces.front().size(), pieces.front()) != 0) continue;
    if (text.size() < pieces.front().size() + pieces.back().size()) continue;
    size_t at = pieces.front().size();
    const size_t last = text.size() - pieces.back().size();
    if (text.compare(last, std::u16string::npos, pieces.back()) != 0) continue;
    bool inOrder = true;
    for (size_t p = 1; p + 1 < pieces.size() && inOrder; ++p) {
      size_t found = text.find(pieces[p], at);
      inOrder = found != std::u16string::npos && found + pieces[p].size() <= last;
      at = inOrder ? found + pieces[p].size() : at;
    }
    if (inOrder) return true;
  }
  return false;
}

// ---- identities ----

// A type or name after a write: through the ANSI code page (UTF-8 here), which
// turns an unpaired surrogate into '?'.
std::u16string ThroughAnsi(const std::u16string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      out += c;
      out += s[++i];
    } else {
      out += (c >= 0xD800 && c <= 0xDFFF) ? u'?' : c;
    }
  }
  return out;
}

enum class TForm { kName, kId, kEmpty, kTooLarge };

// A directory entry holds an ID for exactly the decimal text of a number that fits
// 31 bits ("7"); other digits ("007") are a name. No text, or digits beyond 31
// bits, cannot be written.
TForm FormOf(const std::u16string& s, uint32_t& value) {
  value = 0;
  if (s.empty()) return TForm::kEmpty;
  uint64_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return TForm::kName;
    v = v * 10 + (c - u'0');
    if (v > 0x7FFFFFFF) v = 0x80000000;  // stays too large
  }
  if (v > 0x7FFFFFFF) return TForm::kTooLarge;
  value = static_cast<uint32_t>(v);
  return std::to_string(value) == std::string(s.begin(), s.end()) ? TForm::kId : TForm::kName;
}

// A type or name as a table holds it, classified once.
struct TPart {
  std::u16string text;
  bool id = false;
  uint32_t value = 0;

  TPart() = default;
  explicit TPart(std::u16string s) : text(std::move(s)) { id = FormOf(text, value) == TForm::kId; }
};

// The order of a table's entries, which Windows' loader searches: names first, by
// their UTF-16 units, then IDs by value.
int ComparePart(const TPart& a, const TPart& b) {
  if (a.id != b.id) return a.id ? 1 : -1;
  if (a.id) return a.value < b.value ? -1 : a.value > b.value ? 1 : 0;
  int c = a.text.compare(b.text);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

struct TKey {
  TPart type, name;
  uint32_t language = 0;
};

struct TTableOrder {
  bool operator()(const TKey& a, const TKey& b) const {
    if (int c = ComparePart(a.type, b.type)) return c < 0;
    if (int c = ComparePart(a.name, b.name)) return c < 0;
    return a.language < b.language;
  }
};

// A resource of the image, or one the merge brings.
struct TResource {
  std::u16string type, name;
  uint32_t language = 0;
  const Bytes* data = nullptr;
  int32_t codePage = 0;
  bool fromImage = false;
};

// A record as the .RES reader gives it.
struct TRecord {
  std::u16string type, name;
  uint32_t language = 0;
  Bytes data;
};

// The order the .RES reader keeps its records in, sorted stably: by type, then by
// name; names before numbers (any digits, "007" is 7), names by their units with
// ASCII letters folded to upper case, numbers by value. It matters to the merge
// only where different texts become one identity in the image.
int CompareResOrder(const std::u16string& a, const std::u16string& b) {
  auto number = [](const std::u16string& s) -> int64_t {
    if (s.empty()) return -1;
    int64_t v = 0;
    for (char16_t c : s) {
      if (c < u'0' || c > u'9') return -1;
      v = std::min<int64_t>(v * 10 + (c - u'0'), int64_t(1) << 40);
    }
    return v;
  };
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  int64_t na = number(a), nb = number(b);
  if (na >= 0 || nb >= 0) {
    if (na < 0) return -1;
    if (nb < 0) return 1;
    return na < nb ? -1 : na > nb ? 1 : 0;
  }
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return upper(a[i]) < upper(b[i]) ? -1 : 1;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The merge rule: the first resource of the same type, name and language, else the
// first of the same type and name in language 0, takes the record's bytes; without
// either the record is added.
// Type, name and language in one text: each part after its length.
std::u16string Identity(const std::u16string& type, const std::u16string& name, uint32_t language) {
  std::u16string id;
  id.reserve(type.size() + name.size() + 6);
  for (const std::u16string* part : {&type, &name}) {
    id += static_cast<char16_t>(part->size() >> 16);
    id += static_cast<char16_t>(part->size());
    id += *part;
  }
  id += static_cast<char16_t>(language >> 16);
  id += static_cast<char16_t>(language);
  return id;
}

void Merge(std::vector<TResource>& list, const std::vector<TRecord>& records) {
  std::unordered_map<std::u16string, size_t> first;  // the first resource of each identity
  first.reserve(list.size() + records.size());
  for (size_t i = 0; i < list.size(); ++i) first.try_emplace(Identity(list[i].type, list[i].name, list[i].language), i);
  for (const TRecord& r : records) {
    std::u16string exact = Identity(r.type, r.name, r.language);
    auto hit = first.find(exact);
    if (hit == first.end()) hit = first.find(Identity(r.type, r.name, 0));
    if (hit != first.end()) {
      list[hit->second].data = &r.data;
    } else {
      first.try_emplace(std::move(exact), list.size());
      list.push_back({r.type, r.name, r.language, &r.data, 0, false});
    }
  }
}

// What the written directory holds: one entry per identity, as written; of equal
// identities the later resource gives the bytes, the first the code page.
struct TEntry {
  const Bytes* data = nullptr;
  int32_t codePage = 0;
  bool codePageKnown = false;
};
using TDirectory = std::map<TKey, TEntry, TTableOrder>;

TDirectory WrittenDirectory(const std::vector<TResource>& list) {
  TDirectory d;
  for (const TResource& r : list) {
    auto [it, fresh] = d.try_emplace(TKey{TPart(ThroughAnsi(r.type)), TPart(ThroughAnsi(r.name)), r.language},
                                     TEntry{r.data, r.codePage, r.fromImage});
    if (!fresh) it->second.data = r.data;
  }
  return d;
}

// The bytes of the resource section: tables, data entries and names, aligned to 16,
// then each resource's bytes aligned to 4.
uint64_t DirectorySize(const TDirectory& d, bool& tooManyEntries) {
  uint64_t tables = 16, strings = 0, data = 0;
  uint64_t rootNamed = 0, rootIds = 0, namesNamed = 0, namesIds = 0, languages = 0;
  const TKey* previous = nullptr;
  tooManyEntries = false;
  for (const auto& [key, entry] : d) {
    bool newType = previous == nullptr || ComparePart(previous->type, key.type) != 0;
    bool newName = newType || ComparePart(previous->name, key.name) != 0;
    if (newType) {
      tables += 8 + 16;
      bool named = !key.type.id;
      (named ? rootNamed : rootIds)++;
      if (named) strings += 2 + 2 * uint64_t(key.type.text.size());
      namesNamed = namesIds = 0;
    }
    if (newName) {
      tables += 8 + 16;
      bool named = !key.name.id;
      (named ? namesNamed : namesIds)++;
      if (named) strings += 2 + 2 * uint64_t(key.name.text.size());
      languages = 0;
    }
    tables += 8;
    ++languages;
    tooManyEntries |=
        rootNamed > 0xFFFF || rootIds > 0xFFFF || namesNamed > 0xFFFF || namesIds > 0xFFFF || languages > 0xFFFF;
    data += AlignUp(entry.data->size(), 4);
    previous = &key;
  }
  return AlignUp(tables + 16 * uint64_t(d.size()) + strings, 16) + data;
}

// ---- the layout ----

struct TPlaced {
  int old = -1;  // its index in the input's table; -1 for a new resource section
  std::string name;
  uint32_t characteristics = 0;
  uint64_t kept = 0, uninitialized = 0;
  uint64_t va = 0, vs = 0, ptr = 0, raw = 0;
};

struct TPlan {
  std::vector<TPlaced> sections;
  int resource = -1;  // index into sections
  bool tookComment = false;
  uint64_t headers = 0, comment = 0, end = 0, imageSize = 0;
  bool laidOut = false;
};

// The section of the base relocations: the last that had an address and whose
// bytes (its VirtualSize, not the slack after it) hold entry 5's.
int RelocationSection(const TPe& old) {
  const uint32_t rva = old.directoryCount > kRelocationEntry ? old.DirVa(kRelocationEntry) : 0;
  int found = -1;
  for (size_t j = 0; j < old.sections.size() && rva != 0; ++j) {
    const TSection& s = old.sections[j];
    if (s.va != 0 && rva >= s.va && uint64_t(rva) - s.va < s.Vs()) found = static_cast<int>(j);
  }
  return found;
}

// The page of every block of base relocations, as far as the blocks read.
std::vector<uint32_t> RelocatedPages(const TPe& old) {
  std::vector<uint32_t> pages;
  const int index = RelocationSection(old);
  if (index < 0) return pages;
  const TSection& s = old.sections[static_cast<size_t>(index)];
  const uint64_t start = old.DirVa(kRelocationEntry) - s.va;
  if (start >= s.Kept()) return pages;
  const uint64_t end = start + std::min<uint64_t>(old.DirSize(kRelocationEntry), s.Kept() - start);
  for (uint64_t at = start; at + 8 <= end;) {
    pages.push_back(Get32(*old.b, s.ptr + at));
    const uint32_t blockSize = Get32(*old.b, s.ptr + at + 4);
    if (blockSize < 8) break;
    at += blockSize;
  }
  return pages;
}

// Where every section goes: packed from SectionAlignment (virtually) and from the
// headers and comment block (in the file), each in its own order; the refusals of
// a plan that cannot be written go to refusals. resourceKept: the resource
// section's new bytes, with resourceOld its index (or -1 to insert one when
// insert is set).
TPlan PlanLayout(const TPe& old, int resourceOld, bool insert, uint64_t resourceKept,
                 std::set<std::u16string>& refusals) {
  TPlan plan;
  for (size_t j = 0; j < old.sections.size(); ++j) {
    const TSection& s = old.sections[j];
    plan.sections.push_back({static_cast<int>(j), s.name, s.characteristics, s.Kept(), s.Uninitialized()});
  }
  const uint32_t FA = old.FileAlignment(), SA = old.SectionAlignment();
  plan.comment = old.commentSize;
  if (resourceOld >= 0) {
    // Rebuilt whole: its size is the directory's, with no zero-filled tail.
    plan.resource = resourceOld;
    plan.sections[static_cast<size_t>(resourceOld)].kept = resourceKept;
    plan.sections[static_cast<size_t>(resourceOld)].uninitialized = 0;
  } else if (insert) {
    // A new header needs 40 zero bytes of comment block, or room below SectionAlignment.
    if (old.commentSize >= 40) {
      const uint8_t* c = old.b->data() + old.headersEnd;
      if (std::any_of(c, c + 40, [](uint8_t v) { return v != 0; }))
        refusals.insert(Message(StrId::NoRoomForResourceSection));
      plan.tookComment = true;
      plan.comment -= 40;
    } else if (old.commentSize > 0 ||
               64ull + old.StubSize() + 24 + old.optionalSize + 40ull * (old.sections.size() + 1) > SA) {
      refusals.insert(Message(StrId::NoRoomForResourceSection));
    }
    // After the last section that may not move.
    const int relocSection = RelocationSection(old);
    size_t at = 0;
    for (size_t j = 0; j < old.sections.size(); ++j) {
      const TSection& s = old.sections[j];
      if (!(s.DiscardableData(old.Opt32(16), RelocatedPages(old)) || static_cast<int>(j) == relocSection ||
            s.name == ".reloc"))
        at = j + 1;
    }
    TPlaced fresh;
    fresh.name = ".rsrc";
    fresh.characteristics = 0x40000040;
    fresh.kept = resourceKept;
    plan.sections.insert(plan.sections.begin() + static_cast<std::ptrdiff_t>(at), fresh);
    plan.resource = static_cast<int>(at);
  }

  plan.headers = 64ull + old.StubSize() + 4 + 20 + old.optionalSize + 40ull * plan.sections.size();
  if (!IsPowerOfTwo(FA)) refusals.insert(Message(StrId::BadAlignment, u"FileAlignment"));
  if (!IsPowerOfTwo(SA)) refusals.insert(Message(StrId::BadAlignment, u"SectionAlignment"));
  if (!IsPowerOfTwo(FA) || !IsPowerOfTwo(SA)) return plan;
  if (FA > 0x10000) refusals.insert(Message(StrId::FileAlignmentTooLarge));
  if (plan.headers > SA) refusals.insert(Message(StrId::HeadersTooLong));

  uint64_t R = AlignUp(plan.headers + plan.comment, FA), V = SA;
  plan.imageSize = AlignUp(plan.headers, SA);
  bool overflow = false;
  for (TPlaced& p : plan.sections) {
    p.ptr = R;
    p.va = V;
    p.vs = p.kept + p.uninitialized;
    p.raw = AlignUp(p.kept, FA);
    overflow |= p.ptr > UINT32_MAX || p.va > UINT32_MAX || p.vs > UINT32_MAX || p.raw > UINT32_MAX;
    plan.imageSize += AlignUp(p.vs, SA);
    R += p.raw;
    V += AlignUp(p.vs, SA);
  }
  overflow |= plan.imageSize > UINT32_MAX || R > UINT32_MAX;
  if (overflow) refusals.insert(Message(StrId::LayoutOverflow));
  plan.end = R;
  // No section's data in the file: nothing is padded, the appended bytes follow the
  // headers and the comment block, where a reader looks for them.
  if (std::all_of(plan.sections.begin(), plan.sections.end(), [](const TPlaced& p) { return p.raw == 0; })) {
    plan.end = plan.headers + plan.comment;
    for (TPlaced& p : plan.sections) p.ptr = plan.end;
  }
  plan.laidOut = true;

  // Only the resource section, the base relocations (by entry 5 or by name) and
  // discardable data may move.
  const int relocSection = RelocationSection(old);
  for (size_t i = 0; i < plan.sections.size(); ++i) {
    const TPlaced& p = plan.sections[i];
    if (p.old < 0) continue;
    const TSection& s = old.sections[static_cast<size_t>(p.old)];
    bool movable = s.DiscardableData(old.Opt32(16), RelocatedPages(old)) || p.old == relocSection ||
                   s.name == ".reloc" || static_cast<int>(i) == plan.resource;
    if (s.va != 0 && p.va != s.va && !movable)
      refusals.insert(
          Message(s.Discardable() ? StrId::DiscardableCodeWouldMove : StrId::SectionWouldMove, ToU16(s.name)));
  }
  return plan;
}

// The file offsets of the debug records, as the section that holds entry 6 keeps them.
struct TDebugRecords {
  int section = -1;          // the section that holds entry 6, -1 for none
  std::vector<uint64_t> at;  // where each whole record starts in that section's bytes
};

TDebugRecords DebugRecordsOf(const TPe& old) {
  TDebugRecords records;
  if (old.directoryCount <= kDebugEntry || old.DirVa(kDebugEntry) == 0 || old.DirSize(kDebugEntry) < kDebugRecord ||
      !IsPowerOfTwo(old.SectionAlignment()))
    return records;
  const uint32_t rva = old.DirVa(kDebugEntry), size = old.DirSize(kDebugEntry);
  for (size_t j = 0; j < old.sections.size(); ++j) {
    const TSection& s = old.sections[j];
    if (!s.HoldsRva(rva, old.SectionAlignment())) continue;
    records.section = static_cast<int>(j);
    const uint64_t start = rva - s.va;
    for (uint64_t at = start; at + kDebugRecord <= start + size && at + kDebugRecord <= s.Kept(); at += kDebugRecord)
      records.at.push_back(at);
    break;
  }
  return records;
}

// An offset into the bytes between the sections' data names nothing the packed
// layout keeps, and one that the appended bytes would carry past 4 GiB does not fit
// its field: the image is refused.
void ExpectUnmovableOffsetsRefused(const TPe& old, const TPlan& plan, std::set<std::u16string>& refusals) {
  auto expect = [&](uint32_t offset, const std::string& what) {
    const bool held =
        std::any_of(old.sections.begin(), old.sections.end(), [&](const TSection& s) { return s.HoldsOffset(offset); });
    bool dropped = offset != 0 && old.firstData != 0 && offset >= old.firstData && offset < old.sectionsEnd && !held;
    if (dropped) refusals.insert(Message(StrId::OffsetIntoDroppedBytes, ToU16(what)));
    if (plan.laidOut && offset != 0 && !held && offset >= old.sectionsEnd &&
        offset + int64_t(plan.end) - int64_t(old.sectionsEnd) > int64_t(UINT32_MAX))
      refusals.insert(Message(StrId::OffsetBeyond4GiB, ToU16(what)));
  };
  expect(Get32(*old.b, old.peAt + 12), "PointerToSymbolTable");
  for (const TSection& s : old.sections) {
    expect(s.relocations, "The PointerToRelocations of section " + s.name);
    expect(s.linenumbers, "The PointerToLinenumbers of section " + s.name);
  }
  if (old.directoryCount > kCertificateEntry) expect(old.DirVa(kCertificateEntry), "The certificate table");
  const TDebugRecords debug = DebugRecordsOf(old);
  for (uint64_t at : debug.at)
    expect(Get32(*old.b, old.sections[static_cast<size_t>(debug.section)].ptr + at + 24),
           "A debug record's PointerToRawData");
}

// ---- the PE checksum, summed plainly ----

// The 16-bit little-endian words of the file (an odd last byte alone), the
// CheckSum field counted as zeros, added with their carries folded back in, plus
// the file's length. The sum is taken whole and folded once, which gives the same
// bits as folding after every word; the loop is left out of the coverage
// instrumentation, which would otherwise cost more than everything else a run does.
__attribute__((no_sanitize("coverage"))) uint32_t ReferenceChecksum(const Bytes& b, uint64_t fieldAt) {
  uint64_t sum = 0;
  const size_t n = b.size();
  for (size_t i = 0; i + 1 < n; i += 2) sum += b[i] | uint32_t(b[i + 1]) << 8;
  if (n % 2 != 0) sum += b[n - 1];
  for (uint64_t k = fieldAt; k < fieldAt + 4 && k < n; ++k) sum -= uint64_t(b[k]) << (8 * (k % 2));
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + n);
}

// An entry that named no section's bytes must not name a section's after the write.
bool StrayEntryInASection(const TPe& old, const TPe& pe, uint32_t k) {
  if (k == kResourceEntry || k == kCertificateEntry || old.DirVa(k) == 0) return false;
  auto held = [](const TPe& p, uint32_t rva) {
    return std::any_of(p.sections.begin(), p.sections.end(), [&](const TSection& s) {
      return s.va <= rva && uint64_t(rva) < uint64_t(s.va) + AlignUp(s.Vs(), p.SectionAlignment());
    });
  };
  return !held(old, old.DirVa(k)) && held(pe, pe.DirVa(k));
}

// Reported faults that a long campaign may pass over, to go on looking for others:
// TOLVANE_FUZZ_KNOWN=tag,tag. Each tag names a finding and its regression input;
// without the variable (run.sh, make test) every check holds.
//   unwritten-headers  tests/regressions/combine-section-without-size-counted-in-the-headers.bin
//                      (by design: the next save may differ in SizeOfHeaders and CheckSum only)
bool Known(const char* tag) {
  static const std::string known =
      std::getenv("TOLVANE_FUZZ_KNOWN") != nullptr ? std::getenv("TOLVANE_FUZZ_KNOWN") : "";
  return known.find(tag) != std::string::npos;
}

// A file offset before the appended bytes that named no section's file bytes must not
// name a section's after the write.
bool StrayOffsetInASection(const TPe& old, const TPe& pe, uint32_t before, uint32_t after) {
  auto held = [](const TPe& p, uint32_t offset) {
    return std::any_of(p.sections.begin(), p.sections.end(), [&](const TSection& s) {
      return s.raw != 0 && offset >= s.ptr && uint64_t(offset) - s.ptr < s.raw;
    });
  };
  return before != 0 && before < old.sectionsEnd && !held(old, before) && held(pe, after);
}

// ---- what a right image is ----

struct TCase {
  const Bytes* input = nullptr;
  TPe old;
  std::vector<TResource> imageResources;
  std::vector<TResource> merged;
  TDirectory directory;
  int resourceOld = -1;
  TPlan plan;
};

void CheckWritten(const TCase& c, const Bytes& out) {
  const TPe& old = c.old;
  const Bytes& in = *c.input;
  const TPlan& plan = c.plan;
  TPe pe;
  if (!pe.Parse(out)) Wrong("the image written has no headers", "size %zu", out.size());

  // Headers: the DOS header and stub as they were, the PE header right after them.
  if (!std::equal(in.begin(), in.begin() + 60, out.begin())) Wrong("the DOS header changed", "%s", "");
  if (pe.peAt != 64 + old.StubSize()) Wrong("e_lfanew", "0x%x, stub %u", pe.peAt, old.StubSize());
  if (!std::equal(in.begin() + 64, in.begin() + 64 + old.StubSize(), out.begin() + 64))
    Wrong("the DOS stub changed", "%s", "");
  // The signature, Machine, TimeDateStamp, NumberOfSymbols, SizeOfOptionalHeader, Characteristics.
  for (uint32_t f : {0u, 2u, 4u, 8u, 10u, 16u, 18u, 20u, 22u})
    if (Get16(in, old.peAt + f) != Get16(out, pe.peAt + f)) Wrong("a COFF header field changed", "at +%u", f);
  if (pe.optionalSize != old.optionalSize || pe.directoryCount != old.directoryCount)
    Wrong("the optional header's size or directory count changed", "%u/%u", pe.optionalSize, pe.directoryCount);

  // The section table: every section where the plan puts it.
  std::vector<const TPlaced*> written;
  for (const TPlaced& p : plan.sections)
    if (p.vs != 0) written.push_back(&p);
  if (pe.sections.size() != written.size())
    Wrong("the number of sections", "%zu written, %zu planned", pe.sections.size(), written.size());
  std::vector<int> newIndexOfOld(old.sections.size(), -1);
  for (size_t i = 0; i < written.size(); ++i) {
    const TPlaced& p = *written[i];
    const TSection& s = pe.sections[i];
    if (s.name != p.name.substr(0, 8) || s.va != p.va || s.vs != p.vs || s.ptr != p.ptr || s.raw != p.raw ||
        s.characteristics != p.characteristics)
      Wrong("a section is not where the layout puts it",
            "#%zu %s: va 0x%x vs 0x%x ptr 0x%x raw 0x%x ch 0x%x; expected %s va 0x%llx vs 0x%llx ptr 0x%llx raw 0x%llx",
            i, s.name.c_str(), s.va, s.vs, s.ptr, s.raw, s.characteristics, p.name.c_str(), (unsigned long long)p.va,
            (unsigned long long)p.vs, (unsigned long long)p.ptr, (unsigned long long)p.raw);
    if (p.old >= 0) newIndexOfOld[static_cast<size_t>(p.old)] = static_cast<int>(i);
  }

  // What moved, from the two tables; pointers into moved bytes move with them.
  const size_t n = old.sections.size();
  std::vector<int64_t> vd(n, 0), fd(n, 0);
  for (size_t j = 0; j < n; ++j) {
    if (newIndexOfOld[j] < 0) continue;
    const TSection& s = pe.sections[static_cast<size_t>(newIndexOfOld[j])];
    vd[j] = int64_t(s.va) - old.sections[j].va;
    fd[j] = int64_t(s.ptr) - old.sections[j].ptr;
  }
  const int64_t appendedShift = int64_t(plan.end) - int64_t(old.sectionsEnd);
  // An address moves with the section that held it; one that no section held named
  // nothing, and is cleared (0) where a section is placed over it now.
  const uint32_t SA = old.SectionAlignment();
  auto movedRva = [&](uint32_t rva) -> uint32_t {
    for (size_t j = 0; j < n; ++j)
      if (old.sections[j].HoldsRva(rva, SA)) return static_cast<uint32_t>(rva + vd[j]);
    for (const TSection& s : pe.sections)
      if (rva >= s.va && uint64_t(rva) - s.va < AlignUp(s.Vs(), SA)) return 0;
    return rva;
  };
  auto movedOffset = [&](uint32_t offset) -> uint32_t {
    for (size_t j = 0; j < n; ++j)
      if (old.sections[j].HoldsOffset(offset)) return static_cast<uint32_t>(offset + fd[j]);
    if (offset >= old.sectionsEnd) return static_cast<uint32_t>(offset + appendedShift);
    return offset;
  };

  // Images laid out as linkers do (every fixture): the sections before the resource
  // section keep their addresses and share one file delta; those after it share one
  // delta of each kind.
  {
    std::set<std::u16string> ignored;
    uint64_t oldResourceKept = c.resourceOld >= 0 ? old.sections[static_cast<size_t>(c.resourceOld)].Kept() : 0;
    TPlan asItWas = PlanLayout(old, c.resourceOld, false, oldResourceKept, ignored);
    bool packed = asItWas.laidOut;
    for (const TPlaced& p : asItWas.sections) {
      const TSection& s = old.sections[static_cast<size_t>(p.old)];
      if (p.vs != 0 && (s.va != p.va || (s.raw != 0 && (s.ptr != p.ptr || s.raw != p.raw)))) packed = false;
    }
    if (packed && plan.resource >= 0) {
      std::set<int64_t> beforeV, beforeF, afterV, afterF;
      for (size_t i = 0; i < plan.sections.size(); ++i) {
        const TPlaced& p = plan.sections[i];
        if (p.old < 0 || static_cast<int>(i) == plan.resource || p.vs == 0) continue;
        bool before = static_cast<int>(i) < plan.resource;
        (before ? beforeV : afterV).insert(vd[static_cast<size_t>(p.old)]);
        if (p.kept != 0) (before ? beforeF : afterF).insert(fd[static_cast<size_t>(p.old)]);
      }
      if (beforeV.size() > 1 || (beforeV.size() == 1 && *beforeV.begin() != 0))
        Wrong("a section before the resource section changed its address", "%s", "");
      if (beforeF.size() > 1) Wrong("the sections before the resource section moved apart in the file", "%s", "");
      if (afterV.size() > 1 || afterF.size() > 1)
        Wrong("the sections after the resource section moved apart", "%s", "");
    }
  }

  // Each section's bytes, but the resource section's, as they were, with the debug
  // records patched where they stand; zeros up to its file size.
  const TDebugRecords debug = DebugRecordsOf(old);
  const int debugSection = debug.section;
  Bytes debugBytes;
  if (debugSection >= 0) {
    const TSection& held = old.sections[static_cast<size_t>(debugSection)];
    debugBytes.assign(in.begin() + held.ptr, in.begin() + held.ptr + held.Kept());
    for (uint64_t at : debug.at) {
      uint32_t address = Get32(debugBytes, at + 20), pointer = Get32(debugBytes, at + 24);
      if (address != 0) Put32(debugBytes, at + 20, movedRva(address));
      if (pointer != 0) Put32(debugBytes, at + 24, movedOffset(pointer));
      if (StrayOffsetInASection(old, pe, pointer, movedOffset(pointer)))
        Wrong("a debug record's PointerToRawData now names a section's bytes", "0x%x", pointer);
    }
  }
  for (size_t j = 0; j < n; ++j) {
    if (static_cast<int>(j) == c.resourceOld || newIndexOfOld[j] < 0) continue;
    const TSection& s = pe.sections[static_cast<size_t>(newIndexOfOld[j])];
    const uint8_t* expected = static_cast<int>(j) == debugSection ? debugBytes.data() : in.data() + old.sections[j].ptr;
    const size_t kept = old.sections[j].Kept();
    if (kept != 0 && std::memcmp(expected, out.data() + s.ptr, kept) != 0) {
      size_t k = 0;
      while (expected[k] == out[s.ptr + k]) ++k;
      Wrong("a section's bytes changed", "%s at +0x%zx: 0x%02x, expected 0x%02x", s.name.c_str(), k, out[s.ptr + k],
            expected[k]);
    }
    if (std::any_of(out.begin() + s.ptr + kept, out.begin() + s.ptr + s.raw, [](uint8_t v) { return v != 0; }))
      Wrong("a section's padding is not zeros", "%s", s.name.c_str());
  }

  // The data directory: entry 2 for the resource section; each other entry moved
  // with the section it points into (entry 4 is a file offset); sizes unchanged.
  for (uint32_t k = 0; k < old.directoryCount; ++k) {
    uint32_t va = old.DirVa(k), size = old.DirSize(k);
    if (k == kResourceEntry) {
      if (plan.resource >= 0) {
        const TPlaced& r = plan.sections[static_cast<size_t>(plan.resource)];
        va = static_cast<uint32_t>(r.va);
        size = static_cast<uint32_t>(r.vs);
      } else {
        va = size = 0;
      }
    } else if (va != 0) {
      va = k == kCertificateEntry ? movedOffset(va) : movedRva(va);
      if (va == 0) size = 0;
    }
    if (pe.DirVa(k) != va || pe.DirSize(k) != size)
      Wrong("a data directory entry", "%u: 0x%x/0x%x, expected 0x%x/0x%x (was 0x%x/0x%x)", k, pe.DirVa(k),
            pe.DirSize(k), va, size, old.DirVa(k), old.DirSize(k));
    // An entry names the same bytes as before, or none: never bytes it did not name.
    if (k == kCertificateEntry && StrayOffsetInASection(old, pe, old.DirVa(k), pe.DirVa(k)))
      Wrong("the certificate entry now names a section's bytes", "0x%x", pe.DirVa(k));
    if (StrayEntryInASection(old, pe, k))
      Wrong("a data directory entry that named no section's bytes now names a section's", "%u: 0x%x", k, pe.DirVa(k));
  }

  // The symbol table pointer and the sections' relocation and line number pointers.
  uint32_t symbols = Get32(in, old.peAt + 12);
  if (Get32(out, pe.peAt + 12) != (symbols != 0 ? movedOffset(symbols) : 0))
    Wrong("PointerToSymbolTable", "0x%x, was 0x%x", Get32(out, pe.peAt + 12), symbols);
  if (StrayOffsetInASection(old, pe, symbols, Get32(out, pe.peAt + 12)))
    Wrong("PointerToSymbolTable now names a section's bytes", "0x%x", symbols);
  for (size_t j = 0; j < n; ++j) {
    if (newIndexOfOld[j] < 0) continue;
    const TSection& was = old.sections[j];
    const TSection& s = pe.sections[static_cast<size_t>(newIndexOfOld[j])];
    if (s.relocations != (was.relocations != 0 ? movedOffset(was.relocations) : 0) ||
        s.linenumbers != (was.linenumbers != 0 ? movedOffset(was.linenumbers) : 0) ||
        s.relocationCount != was.relocationCount || s.linenumberCount != was.linenumberCount)
      Wrong("a section's relocation or line number pointer", "%s: 0x%x/0x%x, was 0x%x/0x%x", s.name.c_str(),
            s.relocations, s.linenumbers, was.relocations, was.linenumbers);
    if (StrayOffsetInASection(old, pe, was.relocations, s.relocations) ||
        StrayOffsetInASection(old, pe, was.linenumbers, s.linenumbers))
      Wrong("a section's relocation or line number pointer now names a section's bytes", "%s", s.name.c_str());
  }

  // The optional header: what the writer does not compute stays; what it computes
  // is right.
  for (uint32_t f = 0; f < 96; f += 4) {
    bool computed = f == 4 || f == 8 || f == 12 || f == 20 || f == 24 || f == 56 || f == 60 || f == 64 ||
                    (f == 16 && Get32(in, old.optAt + 16) == 0 && !old.IsDll());
    if (!computed && Get32(in, old.optAt + f) != Get32(out, pe.optAt + f))
      Wrong("an optional header field changed", "+%u", f);
  }
  const uint32_t past = 96 + 8 * old.directoryCount;
  if (!std::equal(in.begin() + old.optAt + past, in.begin() + old.optAt + old.optionalSize,
                  out.begin() + pe.optAt + past))
    Wrong("the optional header after the directories changed", "%s", "");
  if (Get32(in, old.optAt + 16) == 0 && !old.IsDll()) {
    uint32_t entry = 0;
    for (const TPlaced& p : plan.sections)
      if (p.characteristics & kCode) {
        entry = static_cast<uint32_t>(p.va);
        break;
      }
    if (pe.Opt32(16) != entry) Wrong("AddressOfEntryPoint", "0x%x, expected 0x%x", pe.Opt32(16), entry);
  }
  if (pe.Opt32(56) != plan.imageSize)
    Wrong("SizeOfImage", "0x%x, expected 0x%llx", pe.Opt32(56), (unsigned long long)plan.imageSize);
  if (!written.empty() && pe.Opt32(56) != AlignUp(written.back()->va + written.back()->vs, old.SectionAlignment()))
    Wrong("SizeOfImage does not end with the last section", "0x%x", pe.Opt32(56));
  if (pe.Opt32(60) != AlignUp(plan.headers, old.FileAlignment())) Wrong("SizeOfHeaders", "0x%x", pe.Opt32(60));
  uint32_t checksumAt = pe.optAt + 64;
  if (pe.Opt32(64) != ReferenceChecksum(out, checksumAt))
    Wrong("the checksum", "0x%x, expected 0x%x", pe.Opt32(64), ReferenceChecksum(out, checksumAt));

  // The comment block right after the table written (less the 40 bytes a new header took).
  uint64_t from = old.headersEnd + (plan.tookComment ? 40 : 0), to = old.headersEnd + old.commentSize;
  if (pe.headersEnd + (to - from) > out.size() ||
      !std::equal(in.begin() + from, in.begin() + to, out.begin() + pe.headersEnd))
    Wrong("the comment block changed", "%s", "");

  // The appended bytes, unchanged, right after the last section.
  const uint64_t tail = in.size() - old.sectionsEnd;
  if (out.size() != plan.end + tail)
    Wrong("the image's size", "%zu, expected 0x%llx + %llu appended", out.size(), (unsigned long long)plan.end,
          (unsigned long long)tail);
  if (!std::equal(in.begin() + old.sectionsEnd, in.end(), out.begin() + plan.end))
    Wrong("the appended bytes changed", "%s", "");
}

// The written image read back: its resources exactly the expected ones, in table
// order, with their bytes and code pages.
void CheckResources(const TCase& c, const TPEResourceModule& again) {
  std::vector<TKey> keys;
  for (int i = 0; i < again.ResourceCount(); ++i) {
    const TResourceDetails* d = again.ResourceDetails(i);
    keys.push_back({TPart(d->ResourceType()), TPart(d->ResourceName()), d->ResourceLanguage()});
    if (i > 0 && !TTableOrder()(keys[keys.size() - 2], keys.back()))
      Wrong("the resource tables are not in order, or hold an entry twice", "at %s/%s/%u",
            Narrow(keys.back().type.text).c_str(), Narrow(keys.back().name.text).c_str(), keys.back().language);
  }
  if (keys.size() != c.directory.size())
    Wrong("the resources read back", "%zu, expected %zu", keys.size(), c.directory.size());
  int i = 0;
  for (const auto& [key, entry] : c.directory) {
    const TResourceDetails* d = again.ResourceDetails(i++);
    if (d->ResourceType() != key.type.text || d->ResourceName() != key.name.text ||
        d->ResourceLanguage() != key.language)
      Wrong("a resource read back", "%s/%s/%u, expected %s/%s/%u", Narrow(d->ResourceType()).c_str(),
            Narrow(d->ResourceName()).c_str(), d->ResourceLanguage(), Narrow(key.type.text).c_str(),
            Narrow(key.name.text).c_str(), key.language);
    ByteView bytes = d->RawData().View();
    if (bytes.size() != entry.data->size() || !std::equal(entry.data->begin(), entry.data->end(), bytes.data()))
      Wrong("a resource's bytes", "%s/%s/%u: %llu bytes, expected %zu", Narrow(key.type.text).c_str(),
            Narrow(key.name.text).c_str(), key.language, (unsigned long long)bytes.size(), entry.data->size());
    if (entry.codePageKnown && d->CodePage() != entry.codePage)
      Wrong("a resource's code page", "%s/%s/%u: %d, expected %d", Narrow(key.type.text).c_str(),
            Narrow(key.name.text).c_str(), key.language, d->CodePage(), entry.codePage);
  }
}

// ---- the inputs ----

// Made-up bytes: a block of 61 varied bytes over and over (a prime length, so
// records and sections do not line up with it), copied rather than computed byte
// by byte, which took much of a run for the resources of several MiB.
__attribute__((no_sanitize("coverage"))) Bytes Pattern(size_t size, uint32_t seed) {
  uint8_t block[61];
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : block) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  Bytes b(size);
  for (size_t at = 0; at < size; at += sizeof block)
    std::memcpy(b.data() + at, block, std::min(sizeof block, size - at));
  return b;
}

// size bytes: the first from the fuzzer, the rest made up.
Bytes SomeBytes(FuzzedDataProvider& in, size_t size) {
  Bytes b = in.ConsumeBytes<uint8_t>(std::min<size_t>(size, 24));
  Bytes rest = Pattern(size - b.size(), static_cast<uint32_t>(size));
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

size_t PickLength(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeIntegralInRange<size_t>(1, 16);
    case 1:
      return in.ConsumeIntegralInRange<size_t>(17, 600);
    case 2:
      return in.ConsumeIntegralInRange<size_t>(601, 0x3000);
    default:
      return in.ConsumeIntegralInRange<size_t>(0x3001, 0x20000);
  }
}

size_t PickSection(FuzzedDataProvider& in, const TPe& pe) {
  return in.ConsumeIntegralInRange<size_t>(0, pe.sections.size() - 1);
}

// An address for a directory entry or a debug record: in a section, just past
// one, in the headers, nowhere.
uint32_t PickRva(FuzzedDataProvider& in, const TPe& pe) {
  int kind = in.ConsumeIntegralInRange<int>(0, 5);
  if (pe.sections.empty() && kind < 3) kind = 3;
  switch (kind) {
    case 0:
    case 1: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.va + (s.Vs() == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, s.Vs() - 1));
    }
    case 2: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.va + s.Vs();
    }
    case 3:
      return 0;
    case 4:
      return in.ConsumeIntegralInRange<uint32_t>(1, 0xFFF);
    default:
      return in.ConsumeIntegral<uint32_t>();
  }
}

// A file offset: in a section's bytes, just past them (in a gap where raw sizes
// shrank), in the appended bytes or past them, in the headers or the comment block,
// nowhere.
uint32_t PickOffset(FuzzedDataProvider& in, const TPe& pe) {
  int kind = in.ConsumeIntegralInRange<int>(0, 6);
  if (pe.sections.empty() && (kind < 2 || kind == 6)) kind = 2;
  switch (kind) {
    case 6: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.ptr + s.raw;
    }
    case 0:
    case 1: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.ptr + (s.raw == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, s.raw - 1));
    }
    case 2:
      return static_cast<uint32_t>(pe.sectionsEnd +
                                   in.ConsumeIntegralInRange<uint64_t>(0, pe.b->size() - pe.sectionsEnd + 16));
    case 3:
      return 0;
    case 4:
      return in.ConsumeIntegralInRange<uint32_t>(1, static_cast<uint32_t>(pe.headersEnd + pe.commentSize));
    default:
      return in.ConsumeIntegral<uint32_t>();
  }
}

template <class T, size_t N>
T Pick(FuzzedDataProvider& in, const T (&values)[N]) {
  return values[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

// Changes to the image through the offsets its headers give.
void Mutate(FuzzedDataProvider& in, Bytes& img) {
  const int changes = in.ConsumeIntegralInRange<int>(0, 6);
  for (int change = 0; change < changes; ++change) {
    TPe pe;
    if (!pe.Parse(img)) return;
    const int op = in.ConsumeIntegralInRange<int>(0, 17);
    if (pe.sections.empty() && (op == 3 || op == 5 || op == 8 || op == 9 || op == 12 || op >= 16)) continue;
    switch (op) {
      case 0: {  // an overlay
        Bytes more = SomeBytes(in, PickLength(in));
        img.insert(img.end(), more.begin(), more.end());
        break;
      }
      case 1: {  // a certificate table after the sections
        if (pe.directoryCount <= kCertificateEntry) break;
        img.resize(AlignUp(img.size(), 8), 0);
        uint32_t length = 8 * in.ConsumeIntegralInRange<uint32_t>(1, 300);
        Bytes cert = SomeBytes(in, length);
        Put32(cert, 0, length);
        Put16(cert, 4, 0x0200);
        Put16(cert, 6, 2);
        uint32_t at = static_cast<uint32_t>(img.size());
        img.insert(img.end(), cert.begin(), cert.end());
        Put32(img, pe.DirAt(kCertificateEntry), at);
        Put32(img, pe.DirAt(kCertificateEntry) + 4, length);
        break;
      }
      case 2: {  // a data directory entry pointing anywhere
        uint32_t k = in.ConsumeIntegralInRange<uint32_t>(0, 15);
        if (k >= pe.directoryCount) break;
        uint32_t va = k == kCertificateEntry ? PickOffset(in, pe) : PickRva(in, pe);
        const uint32_t sizes[] = {0, 8, 0x18, 0x1C, 0x40, 0x100};
        Put32(img, pe.DirAt(k), va);
        Put32(img, pe.DirAt(k) + 4, in.ConsumeBool() ? Pick(in, sizes) : in.ConsumeIntegral<uint16_t>());
        break;
      }
      case 3: {  // debug records in a section, pointing anywhere
        if (pe.directoryCount <= kDebugEntry) break;
        const TSection& s = pe.sections[PickSection(in, pe)];
        uint32_t records = in.ConsumeIntegralInRange<uint32_t>(1, 4);
        if (s.Kept() < kDebugRecord * records || s.va == 0) break;
        uint32_t offset = in.ConsumeIntegralInRange<uint32_t>(0, s.Kept() - kDebugRecord * records) & ~3u;
        for (uint32_t r = 0; r < records; ++r) {
          uint64_t at = uint64_t(s.ptr) + offset + kDebugRecord * r;
          for (uint32_t f = 0; f < kDebugRecord; f += 4) Put32(img, at + f, 0);
          Put32(img, at + 12, in.ConsumeIntegralInRange<uint32_t>(0, 16));
          Put32(img, at + 16, in.ConsumeIntegralInRange<uint32_t>(0, 0x1000));
          Put32(img, at + 20, PickRva(in, pe));
          Put32(img, at + 24, PickOffset(in, pe));
        }
        const uint32_t size = kDebugRecord * records;
        const uint32_t sizes[] = {size, size, size + 4, size - 1, 0, kDebugRecord - 1};
        Put32(img, pe.DirAt(kDebugEntry), s.va + offset);
        Put32(img, pe.DirAt(kDebugEntry) + 4, Pick(in, sizes));
        break;
      }
      case 4:  // the symbol table pointer
        Put32(img, pe.peAt + 12, PickOffset(in, pe));
        if (in.ConsumeBool()) Put32(img, pe.peAt + 16, in.ConsumeIntegralInRange<uint32_t>(0, 4));
        break;
      case 5: {  // a section's relocation and line number pointers
        const TSection& s = pe.sections[PickSection(in, pe)];
        if (in.ConsumeBool()) {
          Put32(img, s.at + 24, PickOffset(in, pe));
          Put16(img, s.at + 32, in.ConsumeIntegralInRange<uint16_t>(0, 3));
        }
        if (in.ConsumeBool()) {
          Put32(img, s.at + 28, PickOffset(in, pe));
          Put16(img, s.at + 34, in.ConsumeIntegralInRange<uint16_t>(0, 3));
        }
        break;
      }
      case 6: {
        const uint32_t alignments[] = {0x200,  1,      2,      4,       16,      32, 0x80, 0x400,
                                       0x1000, 0x2000, 0x8000, 0x10000, 0x20000, 0,  3,    0x300};
        Put32(img, pe.optAt + 36, Pick(in, alignments));
        break;
      }
      case 7: {
        const uint32_t alignments[] = {0x1000, 0x200, 0x800, 0x2000, 0x10000, 0, 0x1800};
        Put32(img, pe.optAt + 32, Pick(in, alignments));
        break;
      }
      case 8: {
        const uint32_t bits[] = {kDiscardable, kCode, kExecute, kInitialized, kUninitialized};
        const TSection& s = pe.sections[PickSection(in, pe)];
        Put32(img, s.at + 36, s.characteristics ^ Pick(in, bits));
        break;
      }
      case 9: {  // a section's sizes, within the file
        const TSection& s = pe.sections[PickSection(in, pe)];
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
          case 0:
            Put32(img, s.at + 8,
                  in.ConsumeBool() ? s.vs + in.ConsumeIntegralInRange<uint32_t>(1, 0x3000)
                                   : in.ConsumeIntegralInRange<uint32_t>(0x7FFFF000, 0xFFFFF000));
            break;
          case 1:
            Put32(img, s.at + 8, s.vs - std::min(s.vs, in.ConsumeIntegralInRange<uint32_t>(1, 0x1000)));
            break;
          case 2:
            Put32(img, s.at + 8, in.ConsumeBool() ? 0 : s.raw);
            break;
          case 3:
            Put32(img, s.at + 16, s.raw - std::min(s.raw, in.ConsumeIntegralInRange<uint32_t>(1, 0x1000)));
            break;
          default: {
            uint64_t room = s.ptr != 0 && s.ptr < img.size() ? img.size() - s.ptr : 0;
            if (s.raw < room)
              Put32(img, s.at + 16,
                    s.raw + in.ConsumeIntegralInRange<uint32_t>(
                                0, static_cast<uint32_t>(std::min<uint64_t>(room - s.raw, 0x4000))));
            break;
          }
        }
        break;
      }
      case 10:
        Put32(img, pe.optAt + 92, in.ConsumeIntegralInRange<uint32_t>(0, (pe.optionalSize - 96u) / 8u));
        break;
      case 11:  // something in the comment block
        if (pe.commentSize > 0)
          img[pe.headersEnd + in.ConsumeIntegralInRange<uint64_t>(0, std::min<uint64_t>(pe.commentSize, 64) - 1)] =
              in.ConsumeIntegralInRange<uint8_t>(1, 255);
        break;
      case 12: {
        const char* names[] = {".reloc", ".rsrc", ".data", "", ".RELOC", ".text"};
        const TSection& s = pe.sections[PickSection(in, pe)];
        const char* name = Pick(in, names);
        for (uint32_t i = 0; i < 8; ++i) img[s.at + i] = i < std::strlen(name) ? static_cast<uint8_t>(name[i]) : 0;
        break;
      }
      case 13:  // entry 2 without a size, elsewhere, or nowhere
        if (pe.directoryCount <= kResourceEntry) break;
        if (in.ConsumeBool())
          Put32(img, pe.DirAt(kResourceEntry) + 4, 0);
        else
          Put32(img, pe.DirAt(kResourceEntry), PickRva(in, pe));
        break;
      case 16: {  // two sections trade places in the table, out of address order
        const TSection &a = pe.sections[PickSection(in, pe)], &b = pe.sections[PickSection(in, pe)];
        std::swap_ranges(img.begin() + a.at, img.begin() + a.at + 40, img.begin() + b.at);
        break;
      }
      case 17:  // a section without an address: the writer places it, but moves nothing with it
        Put32(img, pe.sections[PickSection(in, pe)].at + 12, 0);
        break;
      case 15:  // no entry point: the writer gives an EXE its first code section's address
        Put32(img, pe.optAt + 16, 0);
        break;
      case 14: {  // one more section, in the comment block's zeros
        if (pe.commentSize < 40 || std::any_of(img.begin() + pe.headersEnd, img.begin() + pe.headersEnd + 40,
                                               [](uint8_t v) { return v != 0; }))
          break;
        uint32_t SA = IsPowerOfTwo(pe.SectionAlignment()) ? pe.SectionAlignment() : 0x1000;
        uint64_t end = SA;
        for (const TSection& s : pe.sections) end = std::max<uint64_t>(end, uint64_t(s.va) + s.Vs());
        uint32_t vs = in.ConsumeIntegralInRange<uint32_t>(1, 0x3000), raw = 0, ptr = 0;
        if (in.ConsumeBool()) {  // its bytes are the appended ones
          ptr = static_cast<uint32_t>(pe.sectionsEnd);
          raw = static_cast<uint32_t>(std::min<uint64_t>(img.size() - pe.sectionsEnd, vs));
          if (raw == 0) ptr = 0;
        }
        const char* names[] = {".late", ".reloc", "/4", ".debug"};
        const uint32_t kinds[] = {0x42000040, 0xC0000040, 0xC0000080, 0x40000040};
        const char* name = Pick(in, names);
        uint32_t at = pe.headersEnd;
        for (uint32_t i = 0; i < 8; ++i) img[at + i] = i < std::strlen(name) ? static_cast<uint8_t>(name[i]) : 0;
        Put32(img, at + 8, vs);
        Put32(img, at + 12, static_cast<uint32_t>(AlignUp(end, SA)));
        Put32(img, at + 16, raw);
        Put32(img, at + 20, ptr);
        Put32(img, at + 36, Pick(in, kinds));
        Put16(img, pe.peAt + 6, static_cast<uint16_t>(pe.sections.size() + 1));
        break;
      }
    }
  }
}

const uint16_t kTypicalIds[] = {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 14, 16, 24, 100, 200, 256, 0, 65535};
const char16_t* const kTrickyTexts[] = {
    u"MYTYPE", u"mytype", u"CONFIG",  u"config", u"HELLO",           u"STAMPTYPE",    u"MAINICON",   u"007",
    u"0",      u"00",     u"7",       u"10",     u"65535",           u"65536",        u"2147483647", u"2147483648",
    u"",       u"A",      u"a",       u"_",      u"Gr\u00FC\u00DFe", u"\u540D\u524D", u"\U0001F600", u"\xD800",
    u"\xDC00", u"\xDBFF", u"x\xDC00", u"\xFFFE", u"CONFIG ",         u"A\u0301"};

// A type or name: a usual ID, any ID, one of the image's own (as it is, with the
// case of a letter changed, or with a leading zero), a tricky text, any text.
std::u16string PickId(FuzzedDataProvider& in, const std::vector<std::u16string>& image) {
  // Names of tens of thousands of characters cost every step of a run: rarely.
  int kind = in.ConsumeIntegralInRange<int>(0, 31);
  kind = kind < 31 ? kind % 7 : 7;
  if (image.empty() && kind >= 2 && kind <= 4) kind = 0;
  switch (kind) {
    case 0: {
      std::string digits = std::to_string(Pick(in, kTypicalIds));
      return std::u16string(digits.begin(), digits.end());
    }
    case 1: {
      std::string digits = std::to_string(in.ConsumeIntegral<uint16_t>());
      return std::u16string(digits.begin(), digits.end());
    }
    case 2:
      return image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
    case 3: {
      std::u16string s = image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
      for (char16_t& c : s)
        if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')) {
          c ^= 0x20;
          break;
        }
      return s;
    }
    case 4:
      return u"0" + image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
    case 5:
      return Pick(in, kTrickyTexts);
    case 6: {
      std::u16string s;
      const int length = in.ConsumeIntegralInRange<int>(1, 12);
      const int alphabet = in.ConsumeIntegralInRange<int>(0, 3);
      for (int i = 0; i < length; ++i) {
        uint16_t v = in.ConsumeIntegral<uint16_t>();
        s += alphabet == 0   ? static_cast<char16_t>(u'A' + v % 26)
             : alphabet == 1 ? static_cast<char16_t>(u"0123456789abcxyz_"[v % 17])
             : alphabet == 2 ? static_cast<char16_t>(0xD800 + v % 0x800)
                             : static_cast<char16_t>(v);
      }
      return s;
    }
    default: {
      const size_t lengths[] = {255, 256, 4000, 65535, 65536};
      return std::u16string(Pick(in, lengths), u'N');
    }
  }
}

// A .RES record cannot hold a zero unit, nor begin with U+FFFF (the mark of a number).
std::u16string Recordable(std::u16string s) {
  for (char16_t& c : s)
    if (c == 0) c = u'z';
  if (!s.empty() && s[0] == 0xFFFF) s[0] = u'y';
  return s;
}

test::ResId AsResId(FuzzedDataProvider& in, const std::u16string& id) {
  uint32_t value;
  if (FormOf(id, value) == TForm::kId && value <= 0xFFFF && !in.ConsumeBool())
    return test::ResId::Ord(static_cast<uint16_t>(value));
  return test::ResId::Str(id);
}

// Resource bytes from none to a few MiB, within what the input may still spend.
Bytes PickData(FuzzedDataProvider& in, uint64_t& budget) {
  // Mostly small; enough now and then to move the sections after the resource
  // section by pages; rarely megabytes (every byte is written, summed, read and
  // written again).
  const int bucket = in.ConsumeIntegralInRange<int>(0, 63);
  size_t size;
  if (bucket < 4)
    size = 0;
  else if (bucket < 28)
    size = in.ConsumeIntegralInRange<size_t>(1, 16);
  else if (bucket < 48)
    size = in.ConsumeIntegralInRange<size_t>(17, 600);
  else if (bucket < 58)
    size = in.ConsumeIntegralInRange<size_t>(601, 20000);
  else if (bucket < 63)
    size = in.ConsumeIntegralInRange<size_t>(20001, 300000);
  else
    size = in.ConsumeIntegralInRange<size_t>(300001, 4 << 20);
  if (size > budget) size = 0;
  budget -= size;
  return SomeBytes(in, size);
}

// The records the fuzzer adds to the base .RES file: free ones, ones with the
// identity of an image resource, ones that find an image resource only through its
// language 0, ones beside an earlier record of theirs.
void AddRecords(FuzzedDataProvider& in, const std::vector<TResource>& image, test::ResBuilder& file,
                std::vector<TRecord>& records) {
  std::vector<std::u16string> types, names;
  for (const TResource& r : image) {
    types.push_back(r.type);
    names.push_back(r.name);
  }
  // As many records as a directory table can count, and one more: one type, every
  // ID as a name, or one name in every language. Each such run takes seconds, and
  // libFuzzer keeps many of them for their loop counts, so only with
  // TOLVANE_FUZZ_BULK=1 (coverage.sh sets it; the corpus holds two such inputs).
  static const bool bulk = std::getenv("TOLVANE_FUZZ_BULK") != nullptr;
  if (in.ConsumeIntegralInRange<int>(0, 255) == 255 && bulk) {
    // Language 0 comes last: before the others, it would take each of them in.
    const uint32_t n = in.ConsumeBool() ? 0x10000 : 0xFFFF;
    const bool languages = in.ConsumeBool();
    for (uint32_t k = 1; k <= n; ++k) {
      test::ResRecord record;
      record.type = test::ResId::Ord(300);
      record.name = test::ResId::Ord(static_cast<uint16_t>(languages ? 1 : k - 1));
      record.language = static_cast<uint16_t>(languages ? k : 0x409);
      record.data = {static_cast<uint8_t>(k)};
      file.Add(record);
      std::string name = std::to_string(languages ? 1 : k - 1);
      records.push_back({u"300", std::u16string(name.begin(), name.end()), record.language, record.data});
    }
  }
  uint64_t budget = 8 << 20;
  const int count = in.ConsumeIntegralInRange<int>(0, 24);
  for (int k = 0; k < count; ++k) {
    TRecord r;
    int kind = in.ConsumeIntegralInRange<int>(0, 4);
    std::vector<const TResource*> neutral;
    for (const TResource& e : image)
      if (e.language == 0) neutral.push_back(&e);
    if ((kind == 1 && image.empty()) || (kind == 2 && neutral.empty()) || (kind == 3 && records.empty())) kind = 0;
    switch (kind) {
      case 1: {
        const TResource& e = image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
        r.type = e.type;
        r.name = e.name;
        r.language = e.language & 0xFFFF;
        break;
      }
      case 2: {
        const TResource& e = *neutral[in.ConsumeIntegralInRange<size_t>(0, neutral.size() - 1)];
        r.type = e.type;
        r.name = e.name;
        for (uint32_t language : {0x409u, 0x407u, 0x411u, 0x40Cu, 0x419u, 1u, 0xFFFFu}) {
          bool taken = std::any_of(image.begin(), image.end(), [&](const TResource& o) {
            return o.type == e.type && o.name == e.name && o.language == language;
          });
          if (!taken) {
            r.language = language;
            break;
          }
        }
        break;
      }
      case 3: {
        const TRecord& e = records[in.ConsumeIntegralInRange<size_t>(0, records.size() - 1)];
        r.type = e.type;
        r.name = e.name;
        r.language = in.ConsumeBool() ? e.language : in.ConsumeIntegral<uint16_t>();
        break;
      }
      default: {
        r.type = PickId(in, types);
        r.name = kind == 4 && !image.empty() ? names[in.ConsumeIntegralInRange<size_t>(0, names.size() - 1)]
                                             : PickId(in, names);
        const uint32_t languages[] = {0, 0x409, 0x407, 0x809, 0x411};
        r.language = in.ConsumeBool() ? Pick(in, languages) : in.ConsumeIntegral<uint16_t>();
        break;
      }
    }
    r.type = Recordable(r.type);
    r.name = Recordable(r.name);
    r.data = PickData(in, budget);
    test::ResRecord record;
    record.type = AsResId(in, r.type);
    record.name = AsResId(in, r.name);
    record.language = static_cast<uint16_t>(r.language);
    record.memoryFlags = in.ConsumeIntegral<uint16_t>();
    record.characteristics = in.ConsumeIntegral<uint32_t>();
    record.data = r.data;
    file.Add(record);
    // The reader takes an empty record named 0 for the mark that opens a 32-bit file.
    if (!(r.data.empty() && r.name == u"0")) records.push_back(std::move(r));
  }
}

// An image no linker made: sections of any kind in any order, the resource section
// among them with a directory of the fuzzer's choosing.
Bytes BuildImage(FuzzedDataProvider& in) {
  test::ImageBuilder b;
  const uint32_t fileAlignments[] = {0x200, 1, 0x10, 0x1000};
  const uint32_t sectionAlignments[] = {0x1000, 0x2000, 0x200};
  b.FileAlignment(Pick(in, fileAlignments)).SectionAlignment(Pick(in, sectionAlignments)).Dll(in.ConsumeBool());
  // A DOS stub of any length (an odd one puts the CheckSum field off word
  // alignment), fewer or more data directories, bytes after them.
  if (in.ConsumeBool()) {
    const size_t stubs[] = {0, 1, 3, 63, 65, 200};
    b.DosStub(Pattern(Pick(in, stubs), 7));
  }
  if (in.ConsumeBool()) {
    const uint32_t counts[] = {3, 6, 7, 16, 20};
    const uint32_t count = Pick(in, counts);
    b.DataDirectories(count).SizeOfOptionalHeader(
        static_cast<uint16_t>(96 + 8 * count + 8 * in.ConsumeIntegralInRange<uint32_t>(0, 4)));
  }
  const int count = in.ConsumeIntegralInRange<int>(1, 6);
  const int resourceAt = in.ConsumeIntegralInRange<int>(0, count);  // count: none
  int relocAt = -1;
  const char* names[] = {".text", ".data", ".rdata", ".idata", ".reloc", ".debug", "/4", ".bss", ".tls"};
  const uint32_t kinds[] = {
      test::kCode, test::kInitializedData, test::kReadOnlyData, test::kUninitializedData, test::kDiscardableData,
      0x42000000};
  const size_t sizes[] = {16, 100, 0x200, 0x1234, 0x3000, 0};
  for (int i = 0; i < count; ++i) {
    if (i == resourceAt) {
      b.AddSection(test::Section(".rsrc"));
      continue;
    }
    test::SectionSpec s =
        test::Section(Pick(in, names), Pattern(Pick(in, sizes), static_cast<uint32_t>(i)), Pick(in, kinds));
    if (s.data.empty() || in.ConsumeBool())
      s.VirtualSize(static_cast<uint32_t>(s.data.size()) + in.ConsumeIntegralInRange<uint32_t>(1, 0x2000));
    if (s.name == ".reloc") relocAt = i;
    b.AddSection(s);
  }
  std::vector<test::ResourceSpec> resources;
  const int resourceCount = in.ConsumeIntegralInRange<int>(0, 8);
  auto key = [&](bool type) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return test::ResKey::Id(type ? Pick(in, kTypicalIds) : in.ConsumeIntegralInRange<uint32_t>(0, 9));
      case 1:
        return test::ResKey::Id(in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : 7);
      case 2:
        return test::ResKey::Name(Pick(in, kTrickyTexts));
      default: {
        std::u16string name = u"N";
        name += static_cast<char16_t>(u'0' + in.ConsumeIntegralInRange<int>(0, 9));
        return test::ResKey::Name(name);
      }
    }
  };
  for (int i = 0; i < resourceCount; ++i) {
    test::ResKey type = key(true), name = key(false);
    const uint32_t languages[] = {0, 0x409, 0x407, 0x10409};
    uint32_t language = Pick(in, languages);
    const uint32_t codePages[] = {0, 1252, 65001};
    resources.emplace_back(type, name, language, SomeBytes(in, in.ConsumeIntegralInRange<size_t>(0, 40)),
                           Pick(in, codePages));
  }
  if (in.ConsumeBool()) b.CommentBlock(Bytes(in.ConsumeIntegralInRange<size_t>(1, 200), in.ConsumeBool() ? 0 : 0xCC));
  if (in.ConsumeBool())
    b.WithSymbolTable()
        .AddSymbol(test::Symbol("_start").SectionNumber(1))
        .AddSymbol(test::Symbol("a_longer_symbol_name"));
  if (in.ConsumeBool()) b.Append(SomeBytes(in, PickLength(in)));

  // The resource directory holds addresses: place the section first, then fill it.
  if (resourceAt < count) b.Section(resourceAt).data = test::BuildResourceDirectory(resources, 0).bytes;
  TPe first;
  Bytes placed = b.Build().bytes;
  if (!first.Parse(placed)) Wrong("model: the builder's image has no headers", "%s", "");
  if (resourceAt < count) {
    uint32_t va = first.sections[static_cast<size_t>(resourceAt)].va;
    test::ResourceBlob blob = test::BuildResourceDirectory(resources, va);
    b.Section(resourceAt).VirtualAddress(va).data = blob.bytes;
    b.DataDirectory(2, va, static_cast<uint32_t>(blob.bytes.size()));
  }
  if (relocAt >= 0) {
    const TSection& s = first.sections[static_cast<size_t>(relocAt)];
    b.DataDirectory(5, s.va, s.Vs());
  }
  return b.Build().bytes;
}

// A stream that gives views of what was written to it, as a file stream does by
// mapping the new file: the rebuilt resource section then views those bytes.
class TViewingStream : public TMemoryStream {
public:
  TBytesOwner ViewWritten(int64_t offset, size_t size, const uint8_t*& data) override {
    const std::vector<uint8_t>& all = TMemoryStream::Bytes();
    auto copy =
        std::make_shared<std::vector<uint8_t>>(all.begin() + offset, all.begin() + offset + static_cast<int64_t>(size));
    data = copy->data();
    return copy;
  }
};

// A stream that takes only so many bytes, as a full disk does.
class TFailingStream : public TMemoryStream {
public:
  explicit TFailingStream(uint64_t limit) : fLimit(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    count = std::min<int64_t>(count, static_cast<int64_t>(fLimit - std::min(fLimit, fTaken)));
    fTaken += static_cast<uint64_t>(count);
    return TMemoryStream::Write(buffer, count);
  }

private:
  uint64_t fLimit, fTaken = 0;
};

// ---- statistics, for tuning the generator (TOLVANE_FUZZ_STATS=1) ----

struct TStats {
  uint64_t runs = 0, imageRefused = 0, resRefused = 0, written = 0, layoutRefused = 0;
  std::map<std::string, uint64_t> refusals;
  ~TStats() {
    if (std::getenv("TOLVANE_FUZZ_STATS") == nullptr || runs == 0) return;
    std::fprintf(stderr, "writer: %llu runs, %llu images refused, %llu .RES refused, %llu written, %llu refused\n",
                 (unsigned long long)runs, (unsigned long long)imageRefused, (unsigned long long)resRefused,
                 (unsigned long long)written, (unsigned long long)layoutRefused);
    for (const auto& [message, count] : refusals)
      std::fprintf(stderr, "  %8llu %s\n", (unsigned long long)count, message.c_str());
  }
} gStats;

void CountRefusal(const char* where, const Exception& e) {
  if (!IsProgramMessage(e.Message()))
    Wrong("a refusal that is not one of the program's messages", "%s: %s", where, e.what());
  std::string m = std::string(where) + ": " + e.what();
  gStats.refusals[m.substr(0, 90)]++;
}

// TOLVANE_FUZZ_DUMP=DIR keeps the files of the input last run there (image.exe,
// input.res, written.exe, again.exe), to look at a failure with other tools.
void Dump(const char* name, const Bytes& bytes) {
  const char* dir = std::getenv("TOLVANE_FUZZ_DUMP");
  if (dir == nullptr) return;
  std::string path = std::string(dir) + "/" + name;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

// The .RES fixtures' records, read once.
const std::vector<TRecord>& BaseRecords(size_t index) {
  static std::map<size_t, std::vector<TRecord>> cache;
  auto [it, fresh] = cache.try_emplace(index);
  if (fresh) {
    TResModule res;
    res.LoadFromBytes(ByteView(kWriterResFiles[index].data, kWriterResFiles[index].size));
    for (int i = 0; i < res.ResourceCount(); ++i) {
      const TResourceDetails* d = res.ResourceDetails(i);
      ByteView v = d->RawData().View();
      it->second.push_back(
          {d->ResourceType(), d->ResourceName(), d->ResourceLanguage(), Bytes(v.data(), v.data() + v.size())});
    }
  }
  return it->second;
}

}  // namespace
}  // namespace tolvane::fuzz

using namespace tolvane;
using namespace tolvane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  gStats.runs++;
  const size_t imageChoice = in.ConsumeIntegralInRange<size_t>(0, kWriterImageCount);  // the last: built here
  const size_t resChoice = in.ConsumeIntegralInRange<size_t>(0, kWriterResFileCount);  // the last: none

  auto input = std::make_shared<Bytes>();
  if (imageChoice < kWriterImageCount)
    input->assign(kWriterImages[imageChoice].data, kWriterImages[imageChoice].data + kWriterImages[imageChoice].size);
  else
    *input = BuildImage(in);
  Mutate(in, *input);
  Dump("image.exe", *input);
  const bool mapped = !in.ConsumeBool();  // as the program maps its inputs, or copied

  TPEResourceModule image;
  try {
    if (mapped)
      image.LoadFromSharedBytes(input, ByteView(input->data(), input->size()));
    else
      image.LoadFromBytes(ByteView(input->data(), input->size()));
  } catch (const Exception& e) {
    gStats.imageRefused++;
    CountRefusal("image", e);
    return 0;
  }

  TCase c;
  c.input = input.get();
  if (!c.old.Parse(*input)) Wrong("model: an image the program loads has no headers for the model", "%s", "");
  std::vector<Bytes> imageBytes(static_cast<size_t>(image.ResourceCount()));
  for (int i = 0; i < image.ResourceCount(); ++i) {
    const TResourceDetails* d = image.ResourceDetails(i);
    ByteView v = d->RawData().View();
    imageBytes[static_cast<size_t>(i)].assign(v.data(), v.data() + v.size());
    c.imageResources.push_back({d->ResourceType(), d->ResourceName(), d->ResourceLanguage(),
                                &imageBytes[static_cast<size_t>(i)], d->CodePage(), true});
  }

  // The .RES: a fixture as it is (or nothing), then the fuzzer's records.
  std::vector<TRecord> records;
  test::ResBuilder file;
  if (resChoice < kWriterResFileCount) {
    records = BaseRecords(resChoice);
    file.Raw(Bytes(kWriterResFiles[resChoice].data, kWriterResFiles[resChoice].data + kWriterResFiles[resChoice].size));
  } else if (in.ConsumeBool()) {
    file.EmptyRecord();
  }
  AddRecords(in, c.imageResources, file, records);
  auto resBytes = std::make_shared<Bytes>(file.Bytes());
  Dump("input.res", *resBytes);
  TResModule res;
  try {
    if (in.ConsumeBool())
      res.LoadFromBytes(ByteView(resBytes->data(), resBytes->size()));
    else
      res.LoadFromSharedBytes(resBytes, ByteView(resBytes->data(), resBytes->size()));
  } catch (const Exception& e) {
    gStats.resRefused++;
    CountRefusal(".RES", e);
    return 0;
  }
  if (res.ResourceCount() != static_cast<int>(records.size()))
    Wrong("model: the .RES reader found another number of records", "%d, expected %zu", res.ResourceCount(),
          records.size());

  try {
    MergeInto(image, res);
  } catch (const Exception& e) {
    Wrong("the merge refused", "%s", e.what());
  }

  // The model: the merge, the directory it writes, the refusals it expects, the layout.
  std::stable_sort(records.begin(), records.end(), [](const TRecord& a, const TRecord& b) {
    int c = CompareResOrder(a.type, b.type);
    return c != 0 ? c < 0 : CompareResOrder(a.name, b.name) < 0;
  });
  c.merged = c.imageResources;
  Merge(c.merged, records);
  std::set<std::u16string> refusals;
  uint32_t offset = 0;
  c.resourceOld = c.old.ResourceSection(offset);
  // The resource section is rebuilt whole: no other entry may point into it, up to
  // the next multiple of SectionAlignment, before the layout or after it.
  const uint32_t SA = c.old.SectionAlignment();
  auto sharesResourceSection = [&](uint64_t va, uint64_t vs, auto entryAddress) {
    uint64_t end = va + (IsPowerOfTwo(SA) ? AlignUp(vs, SA) : vs);
    for (uint32_t k = 0; k < c.old.directoryCount; ++k) {
      if (k == kResourceEntry || k == kCertificateEntry || c.old.DirSize(k) == 0 || c.old.DirVa(k) == 0) continue;
      uint64_t address = entryAddress(c.old.DirVa(k));
      if (address >= va && address < end) return true;
    }
    return false;
  };
  if (c.resourceOld >= 0) {
    const TSection& s = c.old.sections[static_cast<size_t>(c.resourceOld)];
    if (sharesResourceSection(s.va, s.Vs(), [](uint32_t rva) { return rva; }))
      refusals.insert(Message(StrId::ResourceSectionShared));
    if (offset != 0 || (s.characteristics & kCode)) refusals.insert(Message(StrId::ResourceSectionHoldsMore));
  }
  for (const TResource& r : c.merged) {
    for (const std::u16string* id : {&r.type, &r.name}) {
      uint32_t value;
      TForm form = FormOf(ThroughAnsi(*id), value);
      if (form == TForm::kEmpty || form == TForm::kTooLarge) refusals.insert(Message(StrId::InvalidInteger, *id));
      if (form == TForm::kName && ThroughAnsi(*id).size() > 0xFFFF)
        refusals.insert(Message(StrId::ResourceNameTooLong));
    }
  }
  c.directory = WrittenDirectory(c.merged);
  bool tooManyEntries = false;
  uint64_t resourceSize = DirectorySize(c.directory, tooManyEntries);
  if (tooManyEntries) refusals.insert(Message(StrId::TooManyEntries));
  if (resourceSize > UINT32_MAX) refusals.insert(Message(StrId::LayoutOverflow));
  c.plan = PlanLayout(c.old, c.resourceOld, !c.merged.empty(), resourceSize, refusals);
  ExpectUnmovableOffsetsRefused(c.old, c.plan, refusals);
  if (c.plan.laidOut && c.plan.resource >= 0) {
    // Entries as the layout leaves them: moved with their section, or cleared where
    // a section is placed over an address no section held.
    auto moved = [&](uint32_t rva) -> uint32_t {
      for (const TPlaced& p : c.plan.sections)
        if (p.old >= 0 && c.old.sections[static_cast<size_t>(p.old)].HoldsRva(rva, SA))
          return static_cast<uint32_t>(int64_t(rva) + int64_t(p.va) - c.old.sections[static_cast<size_t>(p.old)].va);
      for (const TPlaced& p : c.plan.sections)
        if (rva >= p.va && rva - p.va < AlignUp(p.vs, SA)) return 0;
      return rva;
    };
    const TPlaced& r = c.plan.sections[static_cast<size_t>(c.plan.resource)];
    if (sharesResourceSection(r.va, r.vs, moved)) refusals.insert(Message(StrId::ResourceSectionShared));
  }

  // Into memory; or into a stream that gives views of what it took, as a file does;
  // or into one that takes only part of the image.
  const int streamKind = in.ConsumeIntegralInRange<int>(0, 7);
  const uint64_t expectedSize = c.plan.end + (input->size() - c.old.sectionsEnd);
  std::unique_ptr<TMemoryStream> stream;
  if (streamKind == 6)
    stream = std::make_unique<TViewingStream>();
  else if (streamKind == 7)
    stream = std::make_unique<TFailingStream>(expectedSize * in.ConsumeIntegralInRange<uint64_t>(0, 256) / 256);
  else
    stream = std::make_unique<TMemoryStream>();
  try {
    image.SaveToStream(*stream);
  } catch (const Exception& e) {
    if (streamKind == 7 && refusals.empty() && e.Message() == Message(StrId::StreamWriteError)) {
      // A failed write leaves the image as its layout made it: written again, it is
      // the image the model expects.
      stream = std::make_unique<TMemoryStream>();
      try {
        image.SaveToStream(*stream);
      } catch (const Exception& again) {
        Wrong("after a failed write the image cannot be written", "%s", again.what());
      }
    } else {
      gStats.layoutRefused++;
      CountRefusal("write", e);
      if (stream->Size() != 0) Wrong("bytes written before a refusal", "%lld: %s", (long long)stream->Size(), e.what());
      if (refusals.count(e.Message()) == 0) {
        std::string expected;
        for (const std::u16string& m : refusals) expected += " [" + platform::WideToUtf8(m) + "]";
        Wrong("a refusal the model does not expect", "%s; expected:%s", e.what(), expected.c_str());
      }
      return 0;
    }
  }
  if (!refusals.empty())
    Wrong("written, but the model expects a refusal", "%s", platform::WideToUtf8(*refusals.begin()).c_str());
  gStats.written++;
  const TMemoryStream& out = *stream;

  const Bytes& written = out.Bytes();
  Dump("written.exe", written);
  CheckWritten(c, written);
  TPEResourceModule again;
  MustLoad(again, out);
  CheckResources(c, again);
  TMemoryStream second;
  try {
    again.SaveToStream(second);
  } catch (const Exception& e) {
    Wrong("the image written cannot be written again", "%s", e.what());
  }
  if (streamKind == 6) {
    // The resource section now views the bytes written; written again, the image is the same.
    TMemoryStream third;
    image.SaveToStream(third);
    if (third.Bytes() != written) Wrong("the image written twice from one module differs", "%s", "");
  }
  Dump("again.exe", second.Bytes());
  const bool dropsASection =
      std::any_of(c.plan.sections.begin(), c.plan.sections.end(), [](const TPlaced& p) { return p.vs == 0; });
  // Headers left out of the first save were still counted in its SizeOfHeaders: the
  // next save may differ there and in the checksum, nowhere else.
  auto sameButHeaderSize = [&]() {
    if (!dropsASection || !Known("unwritten-headers") || second.Bytes().size() != written.size()) return false;
    Bytes a = written, b = second.Bytes();
    TPe pe;
    if (!pe.Parse(a)) return false;
    for (Bytes* x : {&a, &b}) {
      Put32(*x, pe.optAt + 60, 0);
      Put32(*x, pe.optAt + 64, 0);
    }
    return a == b;
  };
  if (second.Bytes() != written && !sameButHeaderSize()) {
    size_t k = 0;
    while (k < written.size() && k < second.Bytes().size() && written[k] == second.Bytes()[k]) ++k;
    Wrong("saving the image written again changes it", "first difference at 0x%zx (sizes %zu, %zu)", k, written.size(),
          second.Bytes().size());
  }
  return 0;
}
