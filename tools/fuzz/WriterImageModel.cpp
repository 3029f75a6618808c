#include "WriterImageModel.h"

namespace tolvane::fuzz {

bool TPe::Parse(const Bytes& bytes) {
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

int TPe::ResourceSection(uint32_t& offset) const {
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

int RelocationSection(const TPe& old) {
  const uint32_t rva = old.directoryCount > kRelocationEntry ? old.DirVa(kRelocationEntry) : 0;
  int found = -1;
  for (size_t j = 0; j < old.sections.size() && rva != 0; ++j) {
    const TSection& s = old.sections[j];
    if (s.va != 0 && rva >= s.va && uint64_t(rva) - s.va < s.Vs()) found = static_cast<int>(j);
  }
  return found;
}

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

std::vector<TFixup> BaseRelocations(const TPe& pe, bool& decoded) {
  std::vector<TFixup> fixups;
  decoded = true;
  const int index = RelocationSection(pe);
  if (index < 0 || pe.DirSize(kRelocationEntry) == 0) return fixups;
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
      if (f.type == kFixupHighAdj) {
        if (e + 4 <= blockEnd) {
          e += 2;
          f.low = Get16(*pe.b, s.ptr + e);
        } else {
          decoded = false;
          continue;
        }
      } else if (f.type != kFixupHighLow && f.type != kFixupDir64) {
        decoded = false;
      }
      fixups.push_back(f);
    }
    at += blockSize;
  }
  return fixups;
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
