// The layout of the images we write: section placement, header totals, and the
// positions that follow the sections and appended bytes that move.
#include <gtest/gtest.h>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"

namespace tolvane::test {
namespace {

// In both formats: PE32+ has no BaseOfData, whose bytes are the upper half of its
// ImageBase there, and its 16 more header bytes still fit the first 0x200.
TEST(ImageLayout, WorkedExampleGivesTheDocumentedFigures) {
  for (uint16_t magic : {0x10B, 0x20B}) {
    SCOPED_TRACE(magic);
    ImageBuilder b;
    b.Magic(magic).ImageBase(magic == 0x20B ? 0x7FF612340000 : 0x400000);
    b.DosStub(Fill(64, 0));
    b.AddSection(Section(".text", Fill(0x1234, 0xCC), kCode));
    b.AddSection(Section(".data", Fill(0x100, 1), 0xC0000040).VirtualSize(0x2100).RawSize(0x200));
    b.AddSection(Section(".rsrc", Fill(0x3A8, 2), 0x40000040));
    Bytes written = SaveToBytes(*LoadImage<TPEModule>(b.Build()));
    EXPECT_EQ(written.size(), 0x1C00u);
    auto again = LoadImage<TPEModule>(written);
    EXPECT_EQ(again->DOSHeader().e_lfanew, 128u);
    EXPECT_EQ(again->COFFHeader().NumberOfSections, 3);
    const TOptionalHeader oh = again->OptionalHeader();
    oh.Visit([](const auto& h) {
      EXPECT_EQ(h.SizeOfHeaders, 0x200u);
      EXPECT_EQ(h.SizeOfCode, 0x1400u);
      EXPECT_EQ(h.SizeOfInitializedData, 0x2600u);
      EXPECT_EQ(h.SizeOfUninitializedData, 0u);
      EXPECT_EQ(h.BaseOfCode, 0x1000u);
      EXPECT_EQ(h.SizeOfImage, 0x7000u);
    });
    if (oh.IsPE32Plus())
      EXPECT_EQ(oh.ImageBase(), 0x7FF612340000u);
    else
      EXPECT_EQ(oh.Pe32().BaseOfData, 0x3000u);
    struct Expected {
      uint32_t pointer, address, virtualSize, rawSize;
    } expected[] = {{0x200, 0x1000, 0x1234, 0x1400}, {0x1600, 0x3000, 0x2100, 0x200}, {0x1800, 0x6000, 0x3A8, 0x400}};
    for (int i = 0; i < 3; ++i) {
      const IMAGE_SECTION_HEADER& h = again->ImageSection(i)->SectionHeader();
      EXPECT_EQ(h.PointerToRawData, expected[i].pointer) << i;
      EXPECT_EQ(h.VirtualAddress, expected[i].address) << i;
      EXPECT_EQ(h.VirtualSize, expected[i].virtualSize) << i;
      EXPECT_EQ(h.SizeOfRawData, expected[i].rawSize) << i;
    }
    // The padding after .text is zero, up to the next section.
    EXPECT_EQ(Bytes(written.begin() + 0x200 + 0x1234, written.begin() + 0x1600), Fill(0x1CC, 0));
  }
}

TEST(ImageLayout, UninitializedOnlySectionTakesNoFileSpaceButKeepsItsOffset) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(0x53F4));
  b.AddSection(Section(".data", Fill(8, 1)));
  auto again = LoadImage<TPEModule>(SaveToBytes(*LoadImage<TPEModule>(b.Build().bytes)));
  const IMAGE_SECTION_HEADER& bss = again->ImageSection(1)->SectionHeader();
  EXPECT_EQ(bss.VirtualSize, 0x53F4u);
  EXPECT_EQ(bss.SizeOfRawData, 0u);
  EXPECT_EQ(bss.PointerToRawData, again->ImageSection(2)->SectionHeader().PointerToRawData);
  EXPECT_NE(bss.PointerToRawData, 0u);
  EXPECT_EQ(again->OptionalHeader().Pe32().SizeOfUninitializedData, 0x5400u);
}

TEST(ImageLayout, EmptySectionIsLeftOutOfTheFile) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  b.AddSection(Section(".none").VirtualSize(0).VirtualAddress(0x2000));
  b.AddSection(Section(".data", Fill(8, 1)).VirtualAddress(0x2000));
  auto image = LoadImage<TPEModule>(b.Build().bytes);
  ASSERT_EQ(image->ImageSectionCount(), 3);
  auto again = LoadImage<TPEModule>(SaveToBytes(*image));
  EXPECT_EQ(again->COFFHeader().NumberOfSections, 2);
  EXPECT_EQ(again->ImageSectionCount(), 2);
  EXPECT_EQ(again->ImageSection(1)->SectionName(), ".data");
}

TEST(ImageLayout, CommentBlockFollowsTheHeadersButIsNotCountedInThem) {
  ImageBuilder b;
  b.DosStub(Fill(656 - 64, 0));  // e_lfanew 656: the headers end at 0x3B0 with one section
  b.CommentBlock(Fill(0x50, 0xAB));
  b.AddSection(Section(".data", Fill(8, 1)).RawPointer(0x400));
  auto again = LoadImage<TPEModule>(SaveToBytes(*LoadImage<TPEModule>(b.Build().bytes)));
  EXPECT_EQ(again->OptionalHeader().Pe32().SizeOfHeaders, 0x400u);
  EXPECT_EQ(again->ImageSection(0)->SectionHeader().PointerToRawData, 0x400u);
  EXPECT_EQ(again->ImageSection(0)->SectionHeader().VirtualAddress, 0x1000u);
  EXPECT_EQ(BytesOf(again->CommentBlock()), Fill(0x50, 0xAB));
}

TEST(ImageLayout, ImageWithoutCodeGetsTheWrappedBases) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(8, 1)));
  auto again = LoadImage<TPEModule>(SaveToBytes(*LoadImage<TPEModule>(b.Build().bytes)));
  EXPECT_EQ(again->OptionalHeader().Pe32().BaseOfCode, 0xFFFFFFFFu);
  EXPECT_EQ(again->OptionalHeader().Pe32().BaseOfData, 0x00000FFFu);
}

void ZeroEntryPoint(BuiltImage& built) { built.PutU32(built.layout.optionalHeader + 16, 0); }

TEST(ImageLayout, ExecutableWithoutEntryPointGetsItsFirstCodeSection) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  BuiltImage built = b.Build();
  ZeroEntryPoint(built);
  EXPECT_EQ(LoadImage<TPEModule>(SaveToBytes(*LoadImage<TPEModule>(built.bytes)))
                ->OptionalHeader()
                .Pe32()
                .AddressOfEntryPoint,
            0x1000u);
}

TEST(ImageLayout, DllWithoutEntryPointKeepsNone) {
  // The loader would call whatever code stands at an entry point we made up.
  ImageBuilder b;
  b.Dll();
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  BuiltImage built = b.Build();
  ZeroEntryPoint(built);
  EXPECT_EQ(LoadImage<TPEModule>(SaveToBytes(*LoadImage<TPEModule>(built.bytes)))
                ->OptionalHeader()
                .Pe32()
                .AddressOfEntryPoint,
            0u);
}

TEST(ImageLayout, LongerStubMovesTheSignature) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(8, 1)));
  auto image = LoadImage<TPEModule>(b.Build().bytes);
  uint32_t before = image->DOSHeader().e_lfanew;
  image->DOSStub().Seek(0, TSeekOrigin::soEnd);
  image->DOSStub().Write(Fill(16, 0x90).data(), 16);
  EXPECT_EQ(LoadImage<TPEModule>(SaveToBytes(*image))->DOSHeader().e_lfanew, before + 16);
}

TEST(ImageLayout, AppendedBytesFollowTheLastSection) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(8, 1)));
  b.Append(Fill(100, 0xEE));
  Bytes written = SaveToBytes(*LoadImage<TPEModule>(b.Build().bytes));
  EXPECT_EQ(written.size(), 0x400u + 100);
  EXPECT_EQ(Bytes(written.end() - 100, written.end()), Fill(100, 0xEE));
}

TEST(ImageLayout, BadAlignmentsAndLongHeadersAreRefusedBeforeAnyByte) {
  for (uint32_t alignment : {0u, 3u, 0x300u}) {
    ImageBuilder b;
    b.AddSection(Section(".data", Fill(8, 1)).RawPointer(0x200));
    BuiltImage built = b.Build();
    built.PutU32(built.layout.optionalHeader + field::kOptFileAlignment, alignment);
    auto image = LoadImage<TPEModule>(built.bytes);
    EXPECT_EQ(SaveRefusal(*image).className, "EPEException") << alignment;
  }
  ImageBuilder b;
  b.SectionAlignment(0x200).FileAlignment(0x200);
  b.DosStub(Fill(0x200, 0));
  b.AddSection(Section(".data", Fill(8, 1)));
  auto image = LoadImage<TPEModule>(b.Build().bytes);
  Thrown t = SaveRefusal(*image);
  EXPECT_EQ(t.className, "EPEException");
  EXPECT_EQ(t.message, "The image's headers are longer than its SectionAlignment");
}

// .rsrc grows past its slot; what follows it must move.
ImageBuilder GrowingResourceImage(const SectionSpec& follower, uint16_t magic = 0x10B) {
  ImageBuilder b;
  b.Magic(magic);
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  b.AddResourceSection(0x2000, {{ResKey::Id(10), ResKey::Id(1), 0x409, {1, 2, 3}}});
  b.AddSection(follower);
  return b;
}

void Grow(TPEResourceModule& image) { AddResource(image, u"10", u"2", 0x409, Fill(0x3000, 7)); }

// Refused before the model changes: the resource section keeps its bytes and its header.
TEST(ImageLayout, SectionThatMustKeepItsAddressIsNeverMoved) {
  auto image = LoadImage(GrowingResourceImage(Section(".data", Fill(8, 1))).Build().bytes);
  const Bytes rsrc = image->GetSectionByName(".rsrc")->RawData().Bytes();
  const IMAGE_SECTION_HEADER header = image->GetSectionByName(".rsrc")->SectionHeader();
  Grow(*image);
  Thrown t = SaveRefusal(*image);
  EXPECT_EQ(t.className, "EPEException");
  EXPECT_EQ(t.message, "Section .data would move, but it is neither discardable nor the base relocation section");
  EXPECT_EQ(image->GetSectionByName(".rsrc")->RawData().Bytes(), rsrc);
  EXPECT_EQ(image->GetSectionByName(".rsrc")->SectionHeader().VirtualSize, header.VirtualSize);
  // A file offset into the resource section's bytes would name what the rebuilt
  // directory puts there.
  BuiltImage built = GrowingResourceImage(Section(".symtab", Fill(8, 1), kDiscardableData)).Build();
  built.PutU32(built.layout.coffHeader + 8, built.layout.sectionData[1] + 4);
  auto pointing = LoadImage(built);
  Grow(*pointing);
  EXPECT_EQ(SaveRefusal(*pointing).message,
            "PointerToSymbolTable names bytes of the resource section, which a rewrite rebuilds");
}

// Only the bytes of the base relocation section make it one: an entry 5 pointing
// into the slack after a section's bytes must not let that section move.
TEST(ImageLayout, RelocationEntryInTheSlackOfASectionDoesNotLetItMove) {
  ImageBuilder b = GrowingResourceImage(Section(".idata", Fill(8, 1)));
  b.DataDirectory(5, 0x3000 + 0x10, 8);
  auto image = LoadImage(b.Build().bytes);
  Grow(*image);
  EXPECT_EQ(SaveRefusal(*image).message,
            "Section .idata would move, but it is neither discardable nor the base relocation section");
}

// A section keeps its address while anything at run time may hold it: discardable
// code (a driver's INIT) and the entry point's section, data that base relocations
// patch or point into, and, where no base relocations name every absolute address
// (none at all, or a kind that holds half an address), all but debug data.
// Relocated pages before and after INIT, in any order, leave it free to move.
TEST(ImageLayout, SectionThatRunningCodeMayAddressIsNeverMoved) {
  constexpr uint32_t kDiscardableCode = kCode | 0x02000000, kInitAt = 0x3000, kHighLow = 0x3000, kHigh = 0x1000;
  constexpr uint32_t kHighLowThenHigh = kHighLow | (kHigh + 4) << 16;  // one readable fixup, one half address
  const std::string kWouldMove = "Section INIT would move, but ";
  const std::string kUnknown = kWouldMove + "the image's code may address it without base relocations";
  struct Case {
    uint32_t characteristics, entryPoint;
    std::vector<uint32_t> relocatedPages;  // one block each, one fixup at the page's start
    uint32_t textHolds;                    // the address the fixup at .text's start holds (0: none)
    std::string refusal;                   // "": INIT moves
    std::string name = "INIT";
    uint32_t kind = kHighLow;  // the block's first two entries
    uint16_t magic = 0x10B;    // PE32+: 64-bit code reaches data without base relocations
  };
  for (const Case& c : {
           Case{kDiscardableCode, 0, {0x1000}, 0, kWouldMove + "it is discardable code"},
           Case{kDiscardableData, kInitAt + 4, {0x1000}, 0, kWouldMove + "it holds the entry point"},
           Case{kDiscardableData, 0, {kInitAt}, 0, kWouldMove + "base relocations patch its bytes"},
           Case{kDiscardableData, 0, {0x5000, 0x1000, kInitAt}, 0, kWouldMove + "base relocations patch its bytes"},
           Case{kDiscardableData, 0, {0x5000, 0x1000}, 0, ""},
           Case{kDiscardableData,
                0,
                {0x1000},
                0x400000 + kInitAt + 0x10,
                kWouldMove + "a base relocation points into it"},
           Case{kDiscardableData, 0, {0x1000}, 0x400000 + 0x2000, ""},
           Case{kDiscardableData, 0, {}, 0, kUnknown},
           Case{kDiscardableData, 0, {0x1000}, 0, kUnknown, "INIT", kHigh},
           Case{kDiscardableData, 0, {}, 0, "", ".symtab"},
           Case{kDiscardableData, 0, {}, 0, "", "/4"},
           Case{kDiscardableData, 0, {0x1000}, 0, kUnknown, "INIT", kHighLow, 0x20B},
           Case{kDiscardableData, 0, {0x1000}, 0, "", "/4", kHighLow, 0x20B},
           Case{kDiscardableData,
                0,
                {0x1000},
                0x400000 + kInitAt,
                "Section .symtab would move, but a base relocation points into it",
                ".symtab",
                kHighLowThenHigh},
       }) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.characteristics << " " << c.entryPoint << " "
                                      << c.relocatedPages.size() << " pages, .text holds " << c.textHolds << " "
                                      << c.name);
    ImageBuilder b = GrowingResourceImage(Section(c.name, Fill(8, 1), c.characteristics), c.magic);
    b.AddString(".debug_info");  // at offset 4 of the string table: the full name of "/4"
    const uint32_t blocksSize = 12 * static_cast<uint32_t>(c.relocatedPages.size());
    if (blocksSize != 0) {
      b.AddSection(Section(".reloc", Fill(blocksSize, 0), kDiscardableData));
      b.DataDirectory(5, 0x4000, blocksSize);
    }
    BuiltImage built = b.Build();
    built.PutU32(built.layout.optionalHeader + 16, c.entryPoint);
    if (c.textHolds != 0) built.PutU32(built.layout.sectionData[0], c.textHolds);
    for (size_t k = 0; k < c.relocatedPages.size(); ++k) {
      const uint64_t block = built.layout.sectionData[3] + 12 * k;
      built.PutU32(block, c.relocatedPages[k]);
      built.PutU32(block + 4, 12);
      built.PutU32(block + 8, c.kind);  // an entry at the page's start, then ABSOLUTE padding or another
    }
    auto image = LoadImage(built);
    Grow(*image);
    TMemoryStream out;
    EXPECT_EQ(Capture([&] { image->SaveToStream(out); }).message, c.refusal);
  }
}

// Without a resource section, the new one goes after discardable code, which keeps its place.
TEST(ImageLayout, NewResourceSectionFollowsDiscardableCode) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  b.AddSection(Section("INIT", Fill(0x10, 0xCC), kCode | 0x02000000));
  auto image = LoadImage(b.Build());
  AddResource(*image, u"10", u"1", 0x409, Fill(0x3000, 7));
  auto again = LoadImage(SaveToBytes(*image));
  ASSERT_EQ(again->ImageSectionCount(), 3);
  EXPECT_EQ(again->ImageSection(1)->SectionName(), "INIT");
  EXPECT_EQ(again->ImageSection(1)->SectionHeader().VirtualAddress, 0x2000u);
  EXPECT_EQ(again->ImageSection(2)->SectionName(), ".rsrc");
}

TEST(ImageLayout, RefusedSaveLeavesThePreviousDestination) {
  ScratchDir dir;
  WriteFileBytes(dir.file("out.exe"), BytesOf("previous"));
  auto image = LoadImage(GrowingResourceImage(Section(".data", Fill(8, 1))).Build().bytes);
  Grow(*image);
  EXPECT_EQ(Capture([&] { image->SaveToFile(dir.file16("out.exe")); }).className, "EPEException");
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"out.exe"});
  EXPECT_EQ(ReadFileBytes(dir.file("out.exe")), BytesOf("previous"));
}

TEST(ImageLayout, BaseRelocationsMoveWithTheirSection) {
  ImageBuilder b = GrowingResourceImage(Section(".reloc", Fill(12, 9), 0x42000040));
  b.DataDirectory(5, 0x3000, 12);
  auto image = LoadImage(b.Build().bytes);
  Grow(*image);
  auto again = LoadImage(SaveToBytes(*image));
  TImageSection* reloc = again->GetSectionByName(".reloc");
  ASSERT_NE(reloc, nullptr);
  EXPECT_GT(reloc->SectionHeader().VirtualAddress, 0x3000u);
  EXPECT_EQ(again->DataDirectory(5).VirtualAddress(), reloc->SectionHeader().VirtualAddress);
  EXPECT_EQ(again->DataDirectory(5).Size(), 12u);
  EXPECT_EQ(reloc->RawData().Bytes(), Fill(12, 9));
}

void ExpectDebugRecordsFollowTheDataTheyDescribe(uint16_t magic) {
  // The debug directory sits in .rdata (which stays); its one record describes
  // data in a discardable section after .rsrc (which moves).
  ImageBuilder b;
  b.Magic(magic);
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  Bytes record(28, 0);
  b.AddSection(Section(".rdata", record, kReadOnlyData));  // at 0x2000, file 0x400
  b.AddResourceSection(0x3000, {{ResKey::Id(10), ResKey::Id(1), 0x409, {1, 2, 3}}});
  b.AddSection(Section(".debug", Fill(64, 0xDB), kDiscardableData));  // at 0x4000
  b.DataDirectory(6, 0x2000, 28);
  BuiltImage built = b.Build();
  uint32_t rdata = built.layout.sectionData[1], debugFile = built.layout.sectionData[3];
  built.PutU32(rdata + 12, 2);  // Type: CodeView
  built.PutU32(rdata + 16, 64);
  built.PutU32(rdata + 20, 0x4000 + 4);
  built.PutU32(rdata + 24, debugFile + 4);
  auto image = LoadImage(built.bytes);
  Grow(*image);
  Bytes written = SaveToBytes(*image);
  auto again = LoadImage(written);
  const IMAGE_SECTION_HEADER& debug = again->GetSectionByName(".debug")->SectionHeader();
  ASSERT_GT(debug.VirtualAddress, 0x4000u);
  ByteView rec = again->GetSectionByName(".rdata")->RawData().View();
  EXPECT_EQ(rec.u32(20), debug.VirtualAddress + 4);
  EXPECT_EQ(rec.u32(24), debug.PointerToRawData + 4);
  EXPECT_EQ(written[rec.u32(24)], 0xDB);
  EXPECT_EQ(again->DataDirectory(6).VirtualAddress(), 0x2000u);
}

// In either format of the optional header.
TEST(ImageLayout, DebugRecordsFollowTheDataTheyDescribe) {
  for (uint16_t magic : {0x10B, 0x20B}) {
    SCOPED_TRACE(magic);
    ExpectDebugRecordsFollowTheDataTheyDescribe(magic);
  }
}

void ExpectSymbolTableAndCertificatesMoveWithTheAppendedBytes(uint16_t magic) {
  ImageBuilder b;
  b.Magic(magic);
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  b.AddResourceSection(0x2000, {{ResKey::Id(10), ResKey::Id(1), 0x409, {1, 2, 3}}});
  b.AddSymbol(Symbol("_a_rather_long_symbol_name").Value(1).SectionNumber(1));
  Bytes certificate = Fill(24, 0xCE);
  b.Append(certificate);
  BuiltImage built = b.Build();
  uint32_t certificateAt = built.layout.fileSize - 24;
  built.PutU32(built.layout.DataDirectory(4), certificateAt);
  built.PutU32(built.layout.DataDirectory(4) + 4, 24);
  auto image = LoadImage(built.bytes);
  Grow(*image);
  Bytes written = SaveToBytes(*image);
  auto again = LoadImage(written);
  uint32_t newCertificate = again->DataDirectory(4).VirtualAddress();
  ASSERT_GT(newCertificate, certificateAt);
  EXPECT_EQ(Bytes(written.begin() + newCertificate, written.begin() + newCertificate + 24), certificate);
  ASSERT_EQ(again->SymbolCount(), 1);
  EXPECT_EQ(again->Symbol(0)->Name(), "_a_rather_long_symbol_name");
  EXPECT_GT(again->COFFHeader().PointerToSymbolTable, built.layout.symbolTable);
  // Carried past 4 GiB, its 32 bits would wrap into the headers (as at the end of a 4 GiB overlay).
  built.PutU32(built.layout.DataDirectory(4), 0xFFFFFF00);
  auto far = LoadImage(built.bytes);
  Grow(*far);
  EXPECT_EQ(SaveRefusal(*far).message,
            "The certificate table would move past 4 GiB, beyond what its 32-bit file offset can name");
}

TEST(ImageLayout, SymbolTableAndCertificatesMoveWithTheAppendedBytes) {
  for (uint16_t magic : {0x10B, 0x20B}) {
    SCOPED_TRACE(magic);
    ExpectSymbolTableAndCertificatesMoveWithTheAppendedBytes(magic);
  }
}

// Go's linker puts the symbol table inside its last section, .symtab; COFF
// relocations lie after the section data. Both must move with the bytes that hold them.
TEST(ImageLayout, FileOffsetsIntoMovedSectionsAndAppendedBytesMoveWithThem) {
  Bytes symtab = Fill(64, 0x5E);
  BuiltImage built =
      GrowingResourceImage(Section(".symtab", symtab, kDiscardableData).Relocations({{0x10, 0, 6}})).Build();
  const uint32_t symtabFile = built.layout.sectionData[2];
  const uint32_t symtabHeader = built.layout.SectionHeader(2);
  const uint32_t relocationsAt = built.GetU32(symtabHeader + field::kSecPointerToRelocations);
  built.PutU32(built.layout.coffHeader + field::kCoffPointerToSymbolTable, symtabFile + 8);
  auto image = LoadImage(built.bytes);
  Grow(*image);
  Bytes written = SaveToBytes(*image);
  auto again = LoadImage(written);
  const IMAGE_SECTION_HEADER& moved = again->GetSectionByName(".symtab")->SectionHeader();
  ASSERT_GT(moved.PointerToRawData, symtabFile);
  EXPECT_EQ(again->COFFHeader().PointerToSymbolTable, moved.PointerToRawData + 8);
  ASSERT_NE(relocationsAt, 0u);
  EXPECT_EQ(moved.PointerToRelocations, relocationsAt + (moved.PointerToRawData - symtabFile));
  EXPECT_EQ(Bytes(written.begin() + moved.PointerToRelocations, written.begin() + moved.PointerToRelocations + 10),
            Bytes(built.bytes.begin() + relocationsAt, built.bytes.begin() + relocationsAt + 10));
}

TEST(ImageLayout, ResourceSectionSharedWithAnotherDirectoryIsRefused) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x10, 0xCC), kCode));
  b.AddResourceSection(0x2000, {{ResKey::Id(10), ResKey::Id(1), 0x409, {1, 2, 3}}});
  b.DataDirectory(1, 0x2000 + 0x10, 40);  // imports inside .rsrc
  auto image = LoadImage(b.Build().bytes);
  EXPECT_EQ(SaveRefusal(*image).message, "The resource section also holds data of another directory");
}

TEST(ImageLayout, NewResourceSectionNeedsRoomForItsHeader) {
  // Without a comment block the headers may grow, but not past SectionAlignment.
  ImageBuilder b;
  b.SectionAlignment(0x1000);
  b.DosStub(Fill(0x1000 - 64 - 24 - 224 - 40, 0));
  b.FileAlignment(0x1000);
  b.AddSection(Section(".data", Fill(8, 1)));
  auto image = LoadImage(b.Build().bytes);
  AddResource(*image, u"10", u"1", 0, {1});
  EXPECT_EQ(SaveRefusal(*image).message, "There is no room in the image's headers for a resource section");
  // With room, the headers grow by one section header and the resources are found.
  ImageBuilder roomy;
  roomy.FileAlignment(1);
  roomy.AddSection(Section(".data", Fill(8, 1)));
  auto grown = LoadImage(roomy.Build().bytes);
  AddResource(*grown, u"10", u"1", 0, {1});
  auto again = LoadImage(SaveToBytes(*grown));
  ASSERT_EQ(again->ResourceCount(), 1);
  EXPECT_EQ(again->ImageSection(0)->RawData().Bytes(), Fill(8, 1));
}

}  // namespace
}  // namespace tolvane::test
