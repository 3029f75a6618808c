#include "WriterLayoutModel.h"

#include <algorithm>

namespace tolvane::fuzz {
namespace {

// An offset into the bytes between the sections' data, or into a section's file
// padding, names nothing the packed layout keeps; one the appended bytes would carry
// past 4 GiB does not fit its field; one into the resource section's bytes would
// name what the rebuilt directory puts there: the image is refused.
void ExpectUnmovableOffsetsRefused(const TPe& old, const TPlan& plan, int resourceOld,
                                   std::set<std::u16string>& refusals) {
  for (const auto& named : FileOffsets(old)) {
    const uint32_t offset = named.first;
    const std::string& what = named.second;
    if (offset == 0) continue;
    const auto holder = std::find_if(old.sections.begin(), old.sections.end(),
                                     [&](const TSection& s) { return s.HoldsOffset(offset); });
    const bool held = holder != old.sections.end();
    if (old.firstData != 0 && offset >= old.firstData && offset < old.sectionsEnd && !held)
      refusals.insert(Message(StrId::OffsetIntoDroppedBytes, ToU16(what)));
    if (plan.laidOut && !held && offset >= old.sectionsEnd &&
        offset + int64_t(plan.end) - int64_t(old.sectionsEnd) > int64_t(UINT32_MAX))
      refusals.insert(Message(StrId::OffsetBeyond4GiB, ToU16(what)));
    if (held && resourceOld >= 0 && holder - old.sections.begin() == resourceOld)
      refusals.insert(Message(StrId::OffsetIntoRebuiltBytes, ToU16(what)));
  }
}

// What keeps a section at its address: nothing (it may move), or the reason the
// program gives when it would move.
enum class TPin { None, NotDiscardable, Code, EntryPoint, UnknownPointers, PatchedBytes, PointedInto };

StrId RefusalOf(TPin pin) {
  switch (pin) {
    case TPin::NotDiscardable:
      return StrId::SectionWouldMove;
    case TPin::Code:
      return StrId::DiscardableCodeWouldMove;
    case TPin::EntryPoint:
      return StrId::EntryPointSectionWouldMove;
    case TPin::UnknownPointers:
      return StrId::UnknownPointersSectionWouldMove;
    case TPin::PatchedBytes:
      return StrId::PatchedSectionWouldMove;
    default:
      return StrId::PointedToSectionWouldMove;
  }
}

// DWARF's sections, Go's symbol table and the old linkers' debug section: data no
// running code reads.
bool IsDebugData(const std::string& fullName) {
  return fullName.rfind(".debug_", 0) == 0 || fullName.rfind(".zdebug_", 0) == 0 || fullName == ".symtab" ||
         fullName == ".debug";
}

// What keeps each of the input's sections where it is, in table order. Code holds
// the address of data absolutely only where base relocations name it: 32-bit x86
// code, with a relocation section whose every entry reads. There a section stays
// when fixups patch its bytes or point into it; elsewhere code may reach any
// section, and only debug data may move. The base relocations' own section moves
// when entry 5's blocks fill it from its start, unless a fixup points into it; the
// resource section, rebuilt whole (rebuilt, holding rebuiltKept bytes), moves.
std::vector<TPin> SectionPins(const TPe& old, int rebuilt, uint64_t rebuiltKept) {
  const size_t n = old.sections.size();
  const int relocation = RelocationSection(old);
  bool decoded = false;
  const std::vector<TFixup> fixups = BaseRelocations(old, decoded);
  const bool known = PointersKnown(old);
  std::vector<bool> patched(n, false), pointedInto(n, false);
  // The fixups that read pin what they patch and point into, all known or not.
  for (const TFixup& f : fixups) {
    const int at = old.MappingSection(f.rva);
    if (at >= 0) patched[static_cast<size_t>(at)] = true;
    if (const std::optional<uint32_t> target = FixupTarget(old, f, rebuilt, rebuiltKept)) {
      const int into = old.MappingSection(*target);
      if (into >= 0) pointedInto[static_cast<size_t>(into)] = true;
    }
  }
  const uint32_t entryPoint = old.Opt32(16);
  const int entrySection = entryPoint == 0 ? -1 : old.SectionHolding(entryPoint);
  std::vector<TPin> pins(n, TPin::None);
  for (size_t j = 0; j < n; ++j) {
    const TSection& s = old.sections[j];
    const int i = static_cast<int>(j);
    TPin& pin = pins[j];
    if (i == rebuilt)
      pin = TPin::None;
    else if (i == relocation && old.DirVa(kRelocationEntry) == s.va && old.DirSize(kRelocationEntry) >= s.Vs())
      pin = pointedInto[j] ? TPin::PointedInto : TPin::None;
    else if (!s.Discardable())
      pin = TPin::NotDiscardable;
    else if (s.characteristics & (kCode | kExecute))
      pin = TPin::Code;
    else if (i == entrySection)
      pin = TPin::EntryPoint;
    else if (patched[j])
      pin = TPin::PatchedBytes;
    else if (pointedInto[j])
      pin = TPin::PointedInto;
    else if (!known && !IsDebugData(s.fullName))
      pin = TPin::UnknownPointers;
  }
  return pins;
}

}  // namespace

std::vector<std::pair<uint32_t, std::string>> FileOffsets(const TPe& old) {
  std::vector<std::pair<uint32_t, std::string>> offsets{{Get32(*old.b, old.peAt + 12), "PointerToSymbolTable"}};
  for (const TSection& s : old.sections) {
    offsets.emplace_back(s.relocations, "The PointerToRelocations of section " + s.name);
    offsets.emplace_back(s.linenumbers, "The PointerToLinenumbers of section " + s.name);
  }
  if (old.directoryCount > kCertificateEntry)
    offsets.emplace_back(old.DirVa(kCertificateEntry), "The certificate table");
  const TDebugRecords debug = DebugRecordsOf(old);
  for (uint64_t at : debug.at)
    offsets.emplace_back(Get32(*old.b, old.sections[static_cast<size_t>(debug.section)].ptr + at + 24),
                         "A debug record's PointerToRawData");
  return offsets;
}

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
    const std::vector<TPin> pins = SectionPins(old, -1, 0);
    size_t at = 0;
    for (size_t j = 0; j < pins.size(); ++j)
      if (pins[j] != TPin::None) at = j + 1;
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

  // A section that had an address and would get another must be free to move.
  const std::vector<TPin> pins = SectionPins(old, resourceOld, resourceKept);
  for (const TPlaced& p : plan.sections) {
    if (p.old < 0) continue;
    const TSection& s = old.sections[static_cast<size_t>(p.old)];
    const TPin pin = pins[static_cast<size_t>(p.old)];
    if (s.va != 0 && p.va != s.va && pin != TPin::None) refusals.insert(Message(RefusalOf(pin), ToU16(s.name)));
  }
  return plan;
}

std::set<std::u16string> PlanWrite(TCase& c) {
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
  ExpectUnmovableOffsetsRefused(c.old, c.plan, c.resourceOld, refusals);
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
  return refusals;
}

}  // namespace tolvane::fuzz
