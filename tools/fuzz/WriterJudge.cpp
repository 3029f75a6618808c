#include "WriterJudge.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace tolvane::fuzz {
namespace {

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

// A file offset that named no section's file bytes must not name a section's after
// the write.
bool StrayOffsetInASection(const TPe& old, const TPe& pe, uint32_t before, uint32_t after) {
  auto held = [](const TPe& p, uint32_t offset) {
    return std::any_of(p.sections.begin(), p.sections.end(), [&](const TSection& s) {
      return s.raw != 0 && offset >= s.ptr && uint64_t(offset) - s.ptr < s.raw;
    });
  };
  return before != 0 && !held(old, before) && held(pe, after);
}

// The image written beside the one read, and what moved from one to the other.
struct TWritten {
  TWritten(const TCase& aCase, const Bytes& written) : c(aCase), in(*aCase.input), out(written) {}

  const TCase& c;
  const Bytes& in;
  const Bytes& out;
  TPe pe;
  std::vector<int> newIndexOfOld;  // each section's index in the table written, -1 for none
  std::vector<int64_t> vd, fd;     // how far each section moved, in memory and in the file
  int64_t appendedShift = 0;

  // An address moves with the section that held it; one that no section held named
  // nothing, and is cleared (0) where a section is placed over it now.
  uint32_t MovedRva(uint32_t rva) const {
    const TPe& old = c.old;
    const uint32_t SA = old.SectionAlignment();
    for (size_t j = 0; j < old.sections.size(); ++j)
      if (old.sections[j].HoldsRva(rva, SA)) return static_cast<uint32_t>(rva + vd[j]);
    for (const TSection& s : pe.sections)
      if (rva >= s.va && uint64_t(rva) - s.va < AlignUp(s.Vs(), SA)) return 0;
    return rva;
  }
  uint32_t MovedOffset(uint32_t offset) const {
    const TPe& old = c.old;
    for (size_t j = 0; j < old.sections.size(); ++j)
      if (old.sections[j].HoldsOffset(offset)) return static_cast<uint32_t>(offset + fd[j]);
    if (offset >= old.sectionsEnd) return static_cast<uint32_t>(offset + appendedShift);
    return offset;
  }
};

// Headers: the DOS header and stub as they were, the PE header right after them.
void CheckHeaders(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const Bytes &in = w.in, &out = w.out;
  if (!std::equal(in.begin(), in.begin() + 60, out.begin())) Wrong("the DOS header changed", "%s", "");
  if (pe.peAt != 64 + old.StubSize()) Wrong("e_lfanew", "0x%x, stub %u", pe.peAt, old.StubSize());
  if (!std::equal(in.begin() + 64, in.begin() + 64 + old.StubSize(), out.begin() + 64))
    Wrong("the DOS stub changed", "%s", "");
  // The signature, Machine, TimeDateStamp, NumberOfSymbols, SizeOfOptionalHeader, Characteristics.
  for (uint32_t f : {0u, 2u, 4u, 8u, 10u, 16u, 18u, 20u, 22u})
    if (Get16(in, old.peAt + f) != Get16(out, pe.peAt + f)) Wrong("a COFF header field changed", "at +%u", f);
  if (pe.optionalSize != old.optionalSize || pe.directoryCount != old.directoryCount)
    Wrong("the optional header's size or directory count changed", "%u/%u", pe.optionalSize, pe.directoryCount);
}

// The section table: every section where the plan puts it. Gives each section's
// index in the table written.
std::vector<int> CheckSectionTable(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const TPlan& plan = w.c.plan;
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
  return newIndexOfOld;
}

// Images laid out as linkers do (every fixture): the sections before the resource
// section keep their addresses and share one file delta; those after it share one
// delta of each kind.
void CheckLinkerLayoutKept(const TWritten& w) {
  const TCase& c = w.c;
  const TPe& old = c.old;
  const TPlan& plan = c.plan;
  const std::vector<int64_t>& vd = w.vd;
  const std::vector<int64_t>& fd = w.fd;
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
    if (afterV.size() > 1 || afterF.size() > 1) Wrong("the sections after the resource section moved apart", "%s", "");
  }
}

// Each section's bytes, but the resource section's, as they were, with the debug
// records patched where they stand; zeros up to its file size.
void CheckSectionBytes(const TWritten& w) {
  const TCase& c = w.c;
  const TPe &old = c.old, &pe = w.pe;
  const Bytes &in = w.in, &out = w.out;
  const size_t n = old.sections.size();
  const TDebugRecords debug = DebugRecordsOf(old);
  const int debugSection = debug.section;
  Bytes debugBytes;
  if (debugSection >= 0) {
    const TSection& held = old.sections[static_cast<size_t>(debugSection)];
    debugBytes.assign(in.begin() + held.ptr, in.begin() + held.ptr + held.Kept());
    for (uint64_t at : debug.at) {
      uint32_t address = Get32(debugBytes, at + 20), pointer = Get32(debugBytes, at + 24);
      if (address != 0) Put32(debugBytes, at + 20, w.MovedRva(address));
      if (pointer != 0) Put32(debugBytes, at + 24, w.MovedOffset(pointer));
      if (StrayOffsetInASection(old, pe, pointer, w.MovedOffset(pointer)))
        Wrong("a debug record's PointerToRawData now names a section's bytes", "0x%x", pointer);
    }
  }
  for (size_t j = 0; j < n; ++j) {
    if (static_cast<int>(j) == c.resourceOld || w.newIndexOfOld[j] < 0) continue;
    const TSection& s = pe.sections[static_cast<size_t>(w.newIndexOfOld[j])];
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
}

// The data directory: entry 2 for the resource section; each other entry moved
// with the section it points into (entry 4 is a file offset); sizes unchanged.
void CheckDataDirectory(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const TPlan& plan = w.c.plan;
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
      va = k == kCertificateEntry ? w.MovedOffset(va) : w.MovedRva(va);
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
}

// The symbol table pointer and the sections' relocation and line number pointers.
void CheckFileOffsets(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const Bytes &in = w.in, &out = w.out;
  const size_t n = old.sections.size();
  uint32_t symbols = Get32(in, old.peAt + 12);
  if (Get32(out, pe.peAt + 12) != (symbols != 0 ? w.MovedOffset(symbols) : 0))
    Wrong("PointerToSymbolTable", "0x%x, was 0x%x", Get32(out, pe.peAt + 12), symbols);
  if (StrayOffsetInASection(old, pe, symbols, Get32(out, pe.peAt + 12)))
    Wrong("PointerToSymbolTable now names a section's bytes", "0x%x", symbols);
  for (size_t j = 0; j < n; ++j) {
    if (w.newIndexOfOld[j] < 0) continue;
    const TSection& was = old.sections[j];
    const TSection& s = pe.sections[static_cast<size_t>(w.newIndexOfOld[j])];
    if (s.relocations != (was.relocations != 0 ? w.MovedOffset(was.relocations) : 0) ||
        s.linenumbers != (was.linenumbers != 0 ? w.MovedOffset(was.linenumbers) : 0) ||
        s.relocationCount != was.relocationCount || s.linenumberCount != was.linenumberCount)
      Wrong("a section's relocation or line number pointer", "%s: 0x%x/0x%x, was 0x%x/0x%x", s.name.c_str(),
            s.relocations, s.linenumbers, was.relocations, was.linenumbers);
    if (StrayOffsetInASection(old, pe, was.relocations, s.relocations) ||
        StrayOffsetInASection(old, pe, was.linenumbers, s.linenumbers))
      Wrong("a section's relocation or line number pointer now names a section's bytes", "%s", s.name.c_str());
  }
}

// A file offset into the resource section names bytes the write rebuilds: it may
// name what the new directory puts there, never another section's bytes or padding.
void CheckOffsetsIntoTheResources(const TWritten& w) {
  const TCase& c = w.c;
  if (c.resourceOld < 0 || w.newIndexOfOld[static_cast<size_t>(c.resourceOld)] < 0) return;
  const TSection& now = w.pe.sections[static_cast<size_t>(w.newIndexOfOld[static_cast<size_t>(c.resourceOld)])];
  for (const auto& [offset, what] : FileOffsets(c.old)) {
    const auto held = std::find_if(c.old.sections.begin(), c.old.sections.end(),
                                   [&, at = offset](const TSection& s) { return s.HoldsOffset(at); });
    if (held - c.old.sections.begin() != c.resourceOld) continue;
    const uint32_t moved = w.MovedOffset(offset);
    if (moved < now.ptr || moved - now.ptr >= now.Kept())
      Wrong("a file offset into the resource section now names other bytes", "%s: 0x%x, now 0x%x", what.c_str(), offset,
            moved);
  }
}

// What the writer does not compute stays; the entry point it gives an EXE without
// one is its first code section's. PE32+ has no BaseOfData: its place holds the
// upper half of ImageBase.
void CheckOptionalHeader(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const Bytes &in = w.in, &out = w.out;
  if (old.IsPe32Plus() && pe.ImageBase() != old.ImageBase())
    Wrong("a PE32+ ImageBase changed: BaseOfData written over its upper half", "0x%llx, was 0x%llx",
          (unsigned long long)pe.ImageBase(), (unsigned long long)old.ImageBase());
  for (uint32_t f = 0; f < old.fixed; f += 4) {
    bool computed = f == 4 || f == 8 || f == 12 || f == 20 || (f == 24 && !old.IsPe32Plus()) || f == 56 || f == 60 ||
                    f == 64 || (f == 16 && Get32(in, old.optAt + 16) == 0 && !old.IsDll());
    if (!computed && Get32(in, old.optAt + f) != Get32(out, pe.optAt + f))
      Wrong("an optional header field changed", "+%u", f);
  }
  const uint32_t past = old.fixed + 8 * old.directoryCount;
  if (!std::equal(in.begin() + old.optAt + past, in.begin() + old.optAt + old.optionalSize,
                  out.begin() + pe.optAt + past))
    Wrong("the optional header after the directories changed", "%s", "");
  if (Get32(in, old.optAt + 16) == 0 && !old.IsDll()) {
    uint32_t entry = 0;
    for (const TPlaced& p : w.c.plan.sections)
      if (p.characteristics & kCode) {
        entry = static_cast<uint32_t>(p.va);
        break;
      }
    if (pe.Opt32(16) != entry) Wrong("AddressOfEntryPoint", "0x%x, expected 0x%x", pe.Opt32(16), entry);
  }
}

// SizeOfImage, SizeOfHeaders and the checksum, as the plan and the bytes written give them.
void CheckTotalsAndChecksum(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const Bytes& out = w.out;
  const TPlan& plan = w.c.plan;
  std::vector<const TPlaced*> written;
  for (const TPlaced& p : plan.sections)
    if (p.vs != 0) written.push_back(&p);
  if (pe.Opt32(56) != plan.imageSize)
    Wrong("SizeOfImage", "0x%x, expected 0x%llx", pe.Opt32(56), (unsigned long long)plan.imageSize);
  if (!written.empty() && pe.Opt32(56) != AlignUp(written.back()->va + written.back()->vs, old.SectionAlignment()))
    Wrong("SizeOfImage does not end with the last section", "0x%x", pe.Opt32(56));
  if (pe.Opt32(60) != AlignUp(plan.headers, old.FileAlignment())) Wrong("SizeOfHeaders", "0x%x", pe.Opt32(60));
  uint32_t checksumAt = pe.optAt + 64;
  if (pe.Opt32(64) != ReferenceChecksum(out, checksumAt))
    Wrong("the checksum", "0x%x, expected 0x%x", pe.Opt32(64), ReferenceChecksum(out, checksumAt));
}

// The comment block right after the table written (less the 40 bytes a new header took).
void CheckCommentBlock(const TWritten& w) {
  const TPe &old = w.c.old, &pe = w.pe;
  const Bytes &in = w.in, &out = w.out;
  uint64_t from = old.headersEnd + (w.c.plan.tookComment ? 40 : 0), to = old.headersEnd + old.commentSize;
  if (pe.headersEnd + (to - from) > out.size() ||
      !std::equal(in.begin() + from, in.begin() + to, out.begin() + pe.headersEnd))
    Wrong("the comment block changed", "%s", "");
}

// The appended bytes, unchanged, right after the last section.
void CheckAppendedBytes(const TWritten& w) {
  const TPe& old = w.c.old;
  const Bytes &in = w.in, &out = w.out;
  const TPlan& plan = w.c.plan;
  const uint64_t tail = in.size() - old.sectionsEnd;
  if (out.size() != plan.end + tail)
    Wrong("the image's size", "%zu, expected 0x%llx + %llu appended", out.size(), (unsigned long long)plan.end,
          (unsigned long long)tail);
  if (!std::equal(in.begin() + old.sectionsEnd, in.end(), out.begin() + plan.end))
    Wrong("the appended bytes changed", "%s", "");
}

// ---- what code addresses through base relocations ----

// The byte the loader maps at rva in section s: its file bytes, then zeros.
uint8_t MappedByte(const TPe& pe, const TSection& s, uint64_t rva) {
  const uint64_t k = rva - s.va;
  return k < s.Kept() ? (*pe.b)[s.ptr + k] : 0;
}

uint64_t FieldValue(const Bytes& b, uint64_t at, uint32_t width) {
  return width == 2 ? Get16(b, at) : width == 4 ? Get32(b, at) : Get32(b, at) | uint64_t(Get32(b, at + 4)) << 32;
}

const char* FixupName(uint16_t type) {
  return type == kFixupHighLow ? "HIGHLOW" : type == kFixupHighAdj ? "HIGHADJ" : "DIR64";
}

// Code reaches data through the absolute addresses base relocations name, whichever
// sections the layout lets move: after the write each such pointer still stands
// where its fixup is, and the bytes it names (as many as 16, as the loader maps
// them) are the ones it named before. The resource section's bytes are left out:
// the merge rebuilds them by design, and a pointer into them names nothing that
// stays. So are the debug records' two pointers, which the write moves with what
// they name.
void CheckBaseRelocationTargets(const TWritten& w) {
  const TCase& c = w.c;
  const TPe &old = c.old, &pe = w.pe;
  bool decoded;
  const std::vector<TFixup> fixups = BaseRelocations(old, decoded);
  if (fixups.empty()) return;
  const uint32_t SA = old.SectionAlignment();
  std::vector<std::pair<uint64_t, uint64_t>> moved;  // the debug records' pointers, by address
  const TDebugRecords debug = DebugRecordsOf(old);
  for (uint64_t at : debug.at)
    moved.emplace_back(old.sections[static_cast<size_t>(debug.section)].va + at + 20,
                       old.sections[static_cast<size_t>(debug.section)].va + at + 28);
  auto movedByDesign = [&](uint64_t rva) {
    return std::any_of(moved.begin(), moved.end(), [&](const auto& r) { return rva >= r.first && rva < r.second; });
  };

  for (const TFixup& f : fixups) {
    const uint32_t width = FieldWidth(f.type);
    const std::optional<uint32_t> target = FixupTarget(old, f);
    if (!target) continue;
    const int at = old.SectionHolding(f.rva);
    if (at == c.resourceOld) continue;
    const TSection& was = old.sections[static_cast<size_t>(at)];
    const uint64_t stored = FieldValue(w.in, was.ptr + (f.rva - was.va), width);
    bool patched = false;
    for (uint32_t k = 0; k < width; ++k) patched |= movedByDesign(f.rva + k);

    // The pointer, where the bytes that held it went.
    const int now = w.newIndexOfOld[static_cast<size_t>(at)];
    if (now < 0) Wrong("a section that held a base relocation's pointer is gone", "%s", was.name.c_str());
    const TSection& is = pe.sections[static_cast<size_t>(now)];
    if (!patched && FieldValue(w.out, is.ptr + (f.rva - was.va), width) != stored)
      Wrong("a base relocation's pointer changed", "%s at 0x%llx in %s: 0x%llx, was 0x%llx", FixupName(f.type),
            (unsigned long long)f.rva, was.name.c_str(),
            (unsigned long long)FieldValue(w.out, is.ptr + (f.rva - was.va), width), (unsigned long long)stored);

    // What it points at.
    const int held = old.MappingSection(*target);
    if (held < 0 || held == c.resourceOld) continue;
    const TSection& t = old.sections[static_cast<size_t>(held)];
    const uint64_t count = std::min<uint64_t>(16, t.va + AlignUp(t.Vs(), SA) - *target);
    int mapsNow = pe.MappingSection(*target);
    for (uint64_t k = 0; k < count; ++k) {
      if (movedByDesign(*target + k)) continue;
      if (mapsNow >= 0 && !pe.sections[static_cast<size_t>(mapsNow)].HoldsRva(static_cast<uint32_t>(*target + k), SA))
        mapsNow = pe.MappingSection(*target + k);
      const uint8_t before = MappedByte(old, t, *target + k);
      if (mapsNow < 0)
        Wrong("a base relocation's target is no longer in the image", "%s at 0x%llx names 0x%llx in %s",
              FixupName(f.type), (unsigned long long)f.rva, (unsigned long long)(*target + k), t.name.c_str());
      const TSection& n = pe.sections[static_cast<size_t>(mapsNow)];
      const uint8_t after = MappedByte(pe, n, *target + k);
      if (after != before)
        Wrong("a base relocation's target names other bytes",
              "%s at 0x%llx names 0x%llx, in %s at 0x%x before, now in %s at 0x%x: 0x%02x, was 0x%02x",
              FixupName(f.type), (unsigned long long)f.rva, (unsigned long long)(*target + k), t.name.c_str(), t.va,
              n.name.c_str(), n.va, after, before);
    }
  }
}

}  // namespace

void CheckWritten(const TCase& c, const Bytes& out) {
  TWritten w(c, out);
  if (!w.pe.Parse(out)) Wrong("the image written has no headers", "size %zu", out.size());
  CheckHeaders(w);
  w.newIndexOfOld = CheckSectionTable(w);

  // What moved, from the two tables; pointers into moved bytes move with them.
  const size_t n = c.old.sections.size();
  w.vd.assign(n, 0);
  w.fd.assign(n, 0);
  for (size_t j = 0; j < n; ++j) {
    if (w.newIndexOfOld[j] < 0) continue;
    const TSection& s = w.pe.sections[static_cast<size_t>(w.newIndexOfOld[j])];
    w.vd[j] = int64_t(s.va) - c.old.sections[j].va;
    w.fd[j] = int64_t(s.ptr) - c.old.sections[j].ptr;
  }
  w.appendedShift = int64_t(c.plan.end) - int64_t(c.old.sectionsEnd);

  CheckLinkerLayoutKept(w);
  CheckSectionBytes(w);
  CheckDataDirectory(w);
  CheckFileOffsets(w);
  CheckOffsetsIntoTheResources(w);
  CheckOptionalHeader(w);
  CheckTotalsAndChecksum(w);
  CheckCommentBlock(w);
  CheckAppendedBytes(w);
  CheckBaseRelocationTargets(w);
}

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

void CheckSavedAgain(const TCase& c, const Bytes& written, const Bytes& again, bool headersMayDiffer) {
  const bool dropsASection =
      std::any_of(c.plan.sections.begin(), c.plan.sections.end(), [](const TPlaced& p) { return p.vs == 0; });
  // Headers left out of the first save were still counted in its SizeOfHeaders: the
  // next save may differ there and in the checksum, nowhere else.
  auto sameButHeaderSize = [&]() {
    if (!dropsASection || !headersMayDiffer || again.size() != written.size()) return false;
    Bytes a = written, b = again;
    TPe pe;
    if (!pe.Parse(a)) return false;
    for (Bytes* x : {&a, &b}) {
      Put32(*x, pe.optAt + 60, 0);
      Put32(*x, pe.optAt + 64, 0);
    }
    return a == b;
  };
  if (again != written && !sameButHeaderSize()) {
    size_t k = 0;
    while (k < written.size() && k < again.size() && written[k] == again[k]) ++k;
    Wrong("saving the image written again changes it", "first difference at 0x%zx (sizes %zu, %zu)", k, written.size(),
          again.size());
  }
}

}  // namespace tolvane::fuzz
