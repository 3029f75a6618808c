// Damaged images: truncated at every point of the headers and at many points after,
// with offsets and counts patched to point outside the file, and randomly mutated.
// Each must be refused with EPEException, or load when the damage only touches
// informational parts; nothing may crash or raise anything else.
#include <gtest/gtest.h>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "unitPEFile.h"

namespace tolvane::test {
namespace {

enum class Outcome { Loaded, Refused };

const char* Name(Outcome o) { return o == Outcome::Loaded ? "loaded" : "refused"; }

// Uses everything a loaded image offers, so a reader that kept a bad offset shows it here.
void Exercise(TPEResourceModule& m) {
  for (int i = 0; i < m.ImageSectionCount(); ++i) {
    TImageSection* s = m.ImageSection(i);
    (void)s->SectionName();
    for (int r = 0; r < s->RelocCount(); ++r) (void)s->Reloc(r);
  }
  for (int i = 0; i < m.SymbolCount(); ++i) (void)m.Symbol(i)->Name();
  for (int i = 0; i < m.StringTableCount(); ++i) (void)m.StringTableEntry(i);
  (void)m.OptionalHeader();
  uint32_t offset = 0;
  for (int d = 0; d < m.DataDirectoryCount(); ++d) (void)m.FindDirectoryEntrySection(d, offset);
  int exports = std::min(m.ExportCount(), 2000);
  for (int i = 0; i < exports; ++i) {
    std::string name;
    uint32_t ordinal = 0;
    m.GetExportDetails(i, name, ordinal);
  }
  int imports = m.ImportCount();
  for (int i = 0; i <= imports; ++i) {
    std::optional<TImageImportDescriptor> d = m.Import(i);
    if (d) (void)m.ImportSectionData().CString(d->Name);
  }
  for (int i = 0; i < m.ResourceCount(); ++i) {
    TResourceDetails* d = m.ResourceDetails(i);
    uint64_t sum = 0;
    for (uint8_t b : d->RawData().Bytes()) sum += b;
    (void)sum;
  }
}

// NumberOfRvaAndSizes as the damaged bytes give it, or a large value when unreadable.
uint32_t DirectoryCountOf(const Bytes& bytes) {
  ByteView v(bytes.data(), bytes.size());
  if (!v.has(60, 4)) return UINT32_MAX;
  uint64_t at = uint64_t(v.u32(60)) + 24 + 92;
  return v.has(at, 4) ? v.u32(at) : UINT32_MAX;
}

// Loads bytes; a failure for anything but a clean refusal. The range error for an
// image with fewer than three data directories is the documented refusal of those.
Outcome TryLoad(const Bytes& bytes, const std::string& what) {
  TPEResourceModule m;
  try {
    m.LoadFromBytes(ByteView(bytes.data(), bytes.size()));
    Exercise(m);
    return Outcome::Loaded;
  } catch (const EPEException&) {
    return Outcome::Refused;
  } catch (const ERangeError& e) {
    if (DirectoryCountOf(bytes) < 3) return Outcome::Refused;
    ADD_FAILURE() << what << ": range error with " << DirectoryCountOf(bytes) << " directories: " << e.what();
  } catch (const Exception& e) {
    ADD_FAILURE() << what << ": " << e.ClassName() << ": " << e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << what << ": std::exception: " << e.what();
  }
  return Outcome::Refused;
}

// An image with a bit of everything: stub, comment block, code with relocations,
// data, .bss, exports, imports, resources (named and ID), symbols, strings, overlay.
struct RichImage {
  BuiltImage image;
  ResourceBlob resources;
  int resourceSection = 0;
  uint32_t dataEnd = 0;  // past the last kept section byte: shorter files must be refused
};

RichImage MakeRichImage() {
  RichImage r;
  ImageBuilder b;
  b.Dll().CommentBlock(Fill(24, 0xC0));
  b.AddSection(Section(".text", Fill(0x180, 0xCC), kCode).Relocations({{0x1010, 1, 6}, {0x1020, 2, 6}}));
  b.AddSection(Section(".data", Fill(0x40, 0x11)).VirtualSize(0x300));
  b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(0x200));
  b.AddDirectorySection(".edata", 0x4000,
                        BuildExportDirectory(0x4000, "rich.dll", 1, 3, {{"add", 0}, {"hello", 1}, {"sub", 2}}), 0,
                        kReadOnlyData);
  b.AddDirectorySection(
      ".idata", 0x5000,
      BuildImportDirectory(0x5000, {{"KERNEL32.dll", {"ExitProcess", "GetLastError"}}, {"msvcrt.dll", {"printf"}}}), 1);
  r.resources =
      b.AddResourceSection(0x6000, {{ResKey::Name(u"MYTYPE"), ResKey::Name(u"HELLO"), 0x409, TextBytes("hello")},
                                    {ResKey::Id(3), ResKey::Id(1), 0x409, Fill(40, 0xA1)},
                                    {ResKey::Id(6), ResKey::Id(1), 0x407, Fill(9, 0xB7)},
                                    {ResKey::Id(6), ResKey::Id(1), 0x409, Fill(11, 0xB9)},
                                    {ResKey::Id(10), ResKey::Name(u"CONFIG"), 0, Fill(3, 0x33)}});
  r.resourceSection = 5;
  b.AddSymbol(Symbol(".file").Aux(1).StorageClass(103));
  b.AddSymbol(Symbol("_a_long_function_name").Value(0x10).SectionNumber(1));
  b.AddSymbol(Symbol("_x").SectionNumber(2));
  b.Append(TextBytes("OVERLAY-OVERLAY-"));
  r.image = b.Build();
  const BuiltImage& img = r.image;
  for (int i = 0; i < 6; ++i) {
    uint32_t h = img.layout.SectionHeader(i);
    uint32_t vs = img.GetU32(h + field::kSecVirtualSize), rs = img.GetU32(h + field::kSecSizeOfRawData);
    uint32_t kept = vs == 0 ? rs : std::min(vs, rs);
    if (kept > 0) r.dataEnd = std::max(r.dataEnd, img.GetU32(h + field::kSecPointerToRawData) + kept);
  }
  return r;
}

TEST(MalformedImage, TheRichImageLoadsWhole) {
  RichImage r = MakeRichImage();
  auto m = LoadImage(r.image);
  EXPECT_EQ(m->ImageSectionCount(), 6);
  EXPECT_EQ(m->ResourceCount(), 5);
  EXPECT_EQ(m->ExportCount(), 3);
  EXPECT_EQ(m->ImportCount(), 2);
  EXPECT_EQ(m->SymbolCount(), 3);
  EXPECT_EQ(m->StringTableCount(), 1);
  EXPECT_EQ(m->ImageSection(0)->RelocCount(), 2);
  EXPECT_EQ(m->CommentSize(), r.image.layout.sectionData[0] - r.image.layout.headersEnd);
  EXPECT_EQ(m->CommentBlock().size(), m->CommentSize());
  EXPECT_GT(m->EndCommentSize(), 16u);
}

TEST(MalformedImage, EveryTruncationIsRefusedUntilTheSectionDataIsWhole) {
  RichImage r = MakeRichImage();
  const size_t size = r.image.bytes.size();
  for (size_t n = 0; n < size; n += (n < 0x400 ? 1 : 3)) {
    Outcome o = TryLoad(r.image.Truncated(n), "cut at " + std::to_string(n));
    Outcome expected = n < r.dataEnd ? Outcome::Refused : Outcome::Loaded;
    EXPECT_EQ(o, expected) << "cut at " << n << " (data ends at " << r.dataEnd << "): " << Name(o);
  }
}

TEST(MalformedImage, CutsThroughTheSymbolsAndOverlayKeepTheSections) {
  RichImage r = MakeRichImage();
  uint64_t rawEnd = 0;  // where the end comment begins: after every section's SizeOfRawData
  for (int i = 0; i < 6; ++i) {
    uint32_t h = r.image.layout.SectionHeader(i);
    uint32_t rawSize = r.image.GetU32(h + field::kSecSizeOfRawData);
    if (rawSize != 0)
      rawEnd = std::max<uint64_t>(rawEnd, r.image.GetU32(h + field::kSecPointerToRawData) + uint64_t(rawSize));
  }
  for (size_t n = r.dataEnd; n < r.image.bytes.size(); ++n) {
    auto m = LoadImage(r.image.Truncated(n));
    EXPECT_EQ(m->ResourceCount(), 5) << n;
    EXPECT_EQ(m->EndCommentSize(), n > rawEnd ? n - rawEnd : 0) << n;
  }
}

TEST(MalformedImage, FixtureTruncationsAreRefusedOrLoadCleanly) {
  for (const char* name : {"app_unstripped.exe", "lib.dll"}) {
    if (!PathExists(FixturePath(name))) GTEST_SKIP() << "fixture " << name << " is missing";
    Bytes whole = ReadFileBytes(FixturePath(name));
    for (size_t n = 0; n < whole.size(); n += (n < 0x600 ? 1 : 211)) {
      Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
      TryLoad(cut, std::string(name) + " cut at " + std::to_string(n));
    }
    EXPECT_EQ(TryLoad(whole, name), Outcome::Loaded);
  }
}

TEST(MalformedImage, PatchedHeaderWordsAreRefusedOrLoadCleanly) {
  RichImage r = MakeRichImage();
  const uint32_t size = r.image.layout.fileSize;
  const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, size, size - 1, size - 4, 0x10000};
  for (uint32_t at = 0; at + 4 <= r.image.layout.headersEnd; at += 2) {
    for (uint32_t v : values) {
      BuiltImage patched = r.image;
      patched.PutU32(at, v);
      TryLoad(patched.bytes, "u32 " + std::to_string(v) + " at " + std::to_string(at));
    }
    for (uint16_t v : {uint16_t(0), uint16_t(0xFFFF), uint16_t(0x8000), uint16_t(7)}) {
      BuiltImage patched = r.image;
      patched.PutU16(at, v);
      TryLoad(patched.bytes, "u16 " + std::to_string(v) + " at " + std::to_string(at));
    }
  }
}

TEST(MalformedImage, PatchedResourceDirectoryIsRefusedOrLoadsCleanly) {
  RichImage r = MakeRichImage();
  uint32_t base = r.image.layout.sectionData[static_cast<size_t>(r.resourceSection)];
  uint32_t directoryEnd = UINT32_MAX;
  for (const auto& o : r.resources.resources) directoryEnd = std::min(directoryEnd, o.data);
  const uint32_t blobSize = static_cast<uint32_t>(r.resources.bytes.size());
  const uint32_t values[] = {0,
                             0xFFFFFFFF,
                             0x80000000,
                             0x7FFFFFFF,
                             0x80000010,
                             0x80000018,
                             0x80000028,
                             0x10,
                             blobSize,
                             blobSize - 2,
                             0x80000000 | (blobSize - 8),
                             0x6000,
                             0x6000 + blobSize - 1};
  int refused = 0, loaded = 0;
  for (uint32_t at = 0; at + 4 <= directoryEnd; at += 2) {
    for (uint32_t v : values) {
      BuiltImage patched = r.image;
      patched.PutU32(base + at, v);
      Outcome o = TryLoad(patched.bytes, "directory u32 " + std::to_string(v) + " at " + std::to_string(at));
      (o == Outcome::Loaded ? loaded : refused)++;
    }
    for (uint16_t v : {uint16_t(0), uint16_t(0xFFFF), uint16_t(1), uint16_t(0x100)}) {
      BuiltImage patched = r.image;
      patched.PutU16(base + at, v);
      TryLoad(patched.bytes, "directory u16 " + std::to_string(v) + " at " + std::to_string(at));
    }
  }
  // Both kinds of outcome occur: the patches hit both vital and informational fields.
  EXPECT_GT(refused, 0);
  EXPECT_GT(loaded, 0);
}

TEST(MalformedImage, PatchedSymbolsAndStringsNeverStopTheLoad) {
  RichImage r = MakeRichImage();
  for (uint32_t at = r.image.layout.symbolTable; at + 4 <= r.image.layout.appended; ++at) {
    for (uint32_t v : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 3u, 4u}) {
      BuiltImage patched = r.image;
      patched.PutU32(at, v);
      EXPECT_EQ(TryLoad(patched.bytes, "symbols u32 at " + std::to_string(at)), Outcome::Loaded) << at;
    }
  }
}

TEST(MalformedImage, OffsetsPointingOutsideTheFileAreHandled) {
  RichImage r = MakeRichImage();
  const ImageLayout& L = r.image.layout;
  struct Case {
    const char* what;
    uint32_t offset;
    uint32_t value;
    Outcome expected;
  };
  const Case cases[] = {
      {"e_lfanew", field::kDosLfanew, 0xFFFFFF00, Outcome::Refused},
      {"NumberOfSections", L.coffHeader + field::kCoffNumberOfSections, 0xFFFF, Outcome::Refused},
      {"SizeOfOptionalHeader", L.coffHeader + field::kCoffSizeOfOptionalHeader, 0xFFFF, Outcome::Refused},
      {"PointerToSymbolTable", L.coffHeader + field::kCoffPointerToSymbolTable, 0xFFFFFFF0, Outcome::Loaded},
      {"NumberOfSymbols", L.coffHeader + field::kCoffNumberOfSymbols, 0xFFFFFFFF, Outcome::Loaded},
      {"section data pointer", L.SectionHeader(1) + field::kSecPointerToRawData, 0xFFFFFF00, Outcome::Refused},
      {"section raw size", L.SectionHeader(3) + field::kSecSizeOfRawData, 0x7FFFFFFF, Outcome::Loaded},
      {"section virtual size", L.SectionHeader(0) + field::kSecVirtualSize, 0x7FFFFFFF, Outcome::Refused},
      {"relocation pointer", L.SectionHeader(0) + field::kSecPointerToRelocations, 0xFFFFFFF0, Outcome::Loaded},
      {"resource directory address", L.DataDirectory(2), 0x00900000, Outcome::Loaded},
      {"export directory address", L.DataDirectory(0), 0x4FFC, Outcome::Loaded},
      {"import directory address", L.DataDirectory(1), 0x5FFF, Outcome::Loaded},
  };
  for (const Case& c : cases) {
    BuiltImage patched = r.image;
    if (std::string(c.what) == "NumberOfSections" || std::string(c.what) == "SizeOfOptionalHeader")
      patched.PutU16(c.offset, static_cast<uint16_t>(c.value));
    else
      patched.PutU32(c.offset, c.value);
    EXPECT_EQ(TryLoad(patched.bytes, c.what), c.expected) << c.what;
  }
}

TEST(MalformedImage, RandomMutationsAreRefusedOrLoadCleanly) {
  RichImage r = MakeRichImage();
  uint32_t rsrc = r.image.layout.sectionData[static_cast<size_t>(r.resourceSection)];
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int round = 0; round < 10000; ++round) {
    BuiltImage mutated = r.image;
    int changes = 1 + static_cast<int>(next() % 6);
    for (int c = 0; c < changes; ++c) {
      uint64_t pick = next();
      uint32_t at;
      switch (pick % 3) {
        case 0:
          at = static_cast<uint32_t>(next() % r.image.layout.headersEnd);
          break;
        case 1:
          at = rsrc + static_cast<uint32_t>(next() % r.resources.bytes.size());
          break;
        default:
          at = static_cast<uint32_t>(next() % mutated.bytes.size());
          break;
      }
      mutated.bytes[at] = static_cast<uint8_t>(next());
    }
    TryLoad(mutated.bytes, "mutation round " + std::to_string(round));
  }
}

TEST(MalformedImage, CyclesAnywhereInTheDirectoryAreRefused) {
  RichImage r = MakeRichImage();
  uint32_t base = r.image.layout.sectionData[static_cast<size_t>(r.resourceSection)];
  // Point each subdirectory entry back at the root or at its own table.
  for (const auto& o : r.resources.resources) {
    // Each entry against each table on the path to it.
    const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {
        {o.typeEntry, {0}}, {o.nameEntry, {0, o.nameTable}}, {o.languageEntry, {0, o.nameTable, o.languageTable}}};
    for (const auto& [entry, targets] : cases) {
      for (uint32_t target : targets) {
        BuiltImage patched = r.image;
        patched.PutU32(base + entry + 4, 0x80000000 | target);
        EXPECT_EQ(TryLoad(patched.bytes, "cycle"), Outcome::Refused) << entry << " -> " << target;
      }
    }
  }
}

}  // namespace
}  // namespace tolvane::test
