#include "WriterImageModel.h"

namespace tolvane::fuzz {

namespace {

// The COFF string table, clipped to the file, as [start, end) in it; empty for none.
std::pair<uint64_t, uint64_t> StringTable(const Bytes& bytes, uint32_t peAt) {
  const uint32_t symbols = Get32(bytes, peAt + 12);
  if (symbols == 0) return {0, 0};
  const uint64_t start = symbols + 18ull * Get32(bytes, peAt + 16);
  if (start > bytes.size() || bytes.size() - start < 4) return {0, 0};
  const uint32_t length = Get32(bytes, start);
  if (length <= 4) return {0, 0};
  return {start, start + std::min<uint64_t>(length, bytes.size() - start)};
}

// A name of more than 8 bytes is "/" and the decimal offset of its text in the
// string table, from 4 on; the name as it stands where it is anything else.
std::string FullName(const Bytes& bytes, const std::string& name, std::pair<uint64_t, uint64_t> strings) {
  if (name.size() < 2 || name[0] != '/') return name;
  uint64_t offset = 0;
  for (size_t k = 1; k < name.size(); ++k) {
    if (name[k] < '0' || name[k] > '9') return name;
    offset = offset * 10 + uint64_t(name[k] - '0');
  }
  const uint64_t length = strings.second - strings.first;
  if (offset < 4 || offset >= length) return name;
  const uint8_t* text = bytes.data() + strings.first + offset;
  return std::string(reinterpret_cast<const char*>(text), std::find(text, text + (length - offset), 0) - text);
}

}  // namespace

bool TPe::Parse(const Bytes& bytes) {
  b = &bytes;
  sections.clear();
  if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  peAt = Get32(bytes, 60);
  if (uint64_t(peAt) + 24 + 2 > bytes.size()) return false;
  optAt = peAt + 24;
  // A Magic of neither layout is read as PE32, as the program reads it.
  fixed = Get16(bytes, optAt) == 0x20B ? 112 : 96;
  if (uint64_t(optAt) + fixed > bytes.size()) return false;
  optionalSize = Get16(bytes, peAt + 20);
  uint16_t count = Get16(bytes, peAt + 6);
  if (optionalSize < fixed || uint64_t(optAt) + optionalSize + 40ull * count > bytes.size()) return false;
  tableAt = optAt + optionalSize;
  headersEnd = tableAt + 40u * count;
  directoryCount = std::min<uint32_t>(Get32(bytes, optAt + fixed - 4), (optionalSize - fixed) / 8u);
  firstData = 0;
  sectionsEnd = headersEnd;
  const std::pair<uint64_t, uint64_t> strings = StringTable(bytes, peAt);
  for (uint32_t i = 0; i < count; ++i) {
    TSection s;
    s.at = tableAt + 40 * i;
    const uint8_t* name = bytes.data() + s.at;
    s.name.assign(reinterpret_cast<const char*>(name), std::find(name, name + 8, 0) - name);
    s.fullName = FullName(bytes, s.name, strings);
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

int TPe::ResourceSection(uint32_t& offset) const {
  if (directoryCount <= kResourceEntry || DirSize(kResourceEntry) == 0) return -1;
  const uint32_t rva = DirVa(kResourceEntry);
  const int i = SectionHolding(rva);
  if (i >= 0) offset = rva - sections[static_cast<size_t>(i)].va;
  return i;
}

int TPe::SectionHolding(uint64_t rva) const {
  for (size_t j = 0; j < sections.size(); ++j)
    if (sections[j].HoldsBytes(rva)) return static_cast<int>(j);
  return -1;
}

int TPe::MappingSection(uint64_t rva) const {
  for (size_t j = 0; j < sections.size(); ++j)
    if (sections[j].HoldsRva(rva, SectionAlignment())) return static_cast<int>(j);
  return -1;
}

int RelocationSection(const TPe& old) {
  if (old.directoryCount <= kRelocationEntry || old.DirVa(kRelocationEntry) == 0 || old.DirSize(kRelocationEntry) == 0)
    return -1;
  return old.SectionHolding(old.DirVa(kRelocationEntry));
}

std::vector<TFixup> BaseRelocations(const TPe& pe, bool& decoded) {
  std::vector<TFixup> fixups;
  decoded = true;
  const int index = RelocationSection(pe);
  if (index < 0) return fixups;
  const TSection& s = pe.sections[static_cast<size_t>(index)];
  const uint64_t start = pe.DirVa(kRelocationEntry) - s.va;
  if (start >= s.Kept()) return fixups;
  const uint64_t end = start + std::min<uint64_t>(pe.DirSize(kRelocationEntry), s.Kept() - start);
  for (uint64_t at = start; at + 8 <= end;) {
    const uint32_t page = Get32(*pe.b, s.ptr + at), blockSize = Get32(*pe.b, s.ptr + at + 4);
    if (blockSize < 8) break;
    const uint64_t blockEnd = std::min<uint64_t>(at + blockSize, end);
    for (uint64_t e = at + 8; e + 2 <= blockEnd; e += 2) {
      const uint16_t entry = Get16(*pe.b, s.ptr + e);
      TFixup f{uint64_t(page) + (entry & 0xFFFu), static_cast<uint16_t>(entry >> 12), 0};
      if (f.type == kFixupAbsolute) continue;
      if (f.rva > UINT32_MAX) {
        decoded = false;
        continue;
      }
      if (f.type == kFixupHighAdj) {
        if (e + 4 > blockEnd) {
          decoded = false;
          continue;
        }
        e += 2;
        f.low = Get16(*pe.b, s.ptr + e);
      } else if (f.type != kFixupHighLow && f.type != kFixupDir64) {
        decoded = false;
      }
      fixups.push_back(f);
    }
    at += blockSize;
  }
  return fixups;
}

bool PointersKnown(const TPe& pe) {
  bool decoded = false;
  BaseRelocations(pe, decoded);
  return RelocationSection(pe) >= 0 && decoded && pe.Machine() == 0x14C;
}

uint32_t FieldWidth(uint16_t type) {
  return type == kFixupHighLow ? 4 : type == kFixupDir64 ? 8 : type == kFixupHighAdj ? 2 : 0;
}

std::optional<uint32_t> FixupTarget(const TPe& pe, const TFixup& fixup, int rebuilt, uint64_t rebuiltKept) {
  const uint32_t width = FieldWidth(fixup.type);
  const int j = pe.SectionHolding(fixup.rva);
  if (width == 0 || j < 0) return std::nullopt;
  const TSection& s = pe.sections[static_cast<size_t>(j)];
  const uint64_t at = fixup.rva - s.va, kept = j == rebuilt ? rebuiltKept : s.Kept();
  if (at > kept || kept - at < width) return std::nullopt;
  uint64_t value = 0;
  if (j != rebuilt)
    value = width == 2   ? Get16(*pe.b, s.ptr + at)
            : width == 4 ? Get32(*pe.b, s.ptr + at)
                         : Get32(*pe.b, s.ptr + at) | uint64_t(Get32(*pe.b, s.ptr + at + 4)) << 32;
  // HIGHADJ: the loader adds the signed low half to the high half shifted up.
  if (fixup.type == kFixupHighAdj) value = uint32_t((uint32_t(value) << 16) + uint32_t(int32_t(int16_t(fixup.low))));
  const uint64_t base = pe.ImageBase();
  if (value < base || value - base > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value - base);
}

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

}  // namespace tolvane::fuzz
