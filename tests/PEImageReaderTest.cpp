// Reading PE32 images: headers, sections, symbols, comment blocks, data
// directories, exports and imports, on images made by ImageBuilder.
#include <gtest/gtest.h>

#include <functional>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "unitPEFile.h"

namespace tolvane::test {
namespace {

// A small image: code and data.
ImageBuilder TwoSections(uint16_t magic = 0x10B) {
  ImageBuilder b;
  b.Magic(magic);
  b.AddSection(Section(".text", Fill(0x100, 0xCC), kCode));
  b.AddSection(Section(".data", Fill(0x80, 0x11), kInitializedData));
  return b;
}

// ---- signatures and headers ----

TEST(PEHeaders, DosHeaderIsDecoded) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  IMAGE_DOS_HEADER h = m->DOSHeader();
  EXPECT_EQ(h.e_magic, 0x5A4D);
  EXPECT_EQ(h.e_cblp, 0x90);
  EXPECT_EQ(h.e_cp, 3);
  EXPECT_EQ(h.e_sp, 0xB8);
  EXPECT_EQ(h.e_lfarlc, 0x40);
  EXPECT_EQ(h.e_lfanew, 128u);
}

TEST(PEHeaders, LfanewOf64GivesAnEmptyStub) {
  auto m = LoadImage<TPEModule>(TwoSections().DosStub({}).Build());
  EXPECT_EQ(m->DOSHeader().e_lfanew, 64u);
  EXPECT_EQ(m->DOSStub().Size(), 0);
  EXPECT_EQ(m->ImageSectionCount(), 2);
}

TEST(PEHeaders, LfanewOf128GivesA64ByteStub) {
  Bytes stub = TextBytes("a stub of exactly sixty-four bytes, checked byte for byte here..");
  ASSERT_EQ(stub.size(), 64u);
  auto m = LoadImage<TPEModule>(TwoSections().DosStub(stub).Build());
  EXPECT_EQ(m->DOSHeader().e_lfanew, 128u);
  EXPECT_EQ(m->DOSStub().Bytes(), stub);
}

TEST(PEHeaders, CoffHeaderIsDecoded) {
  BuiltImage image = TwoSections().Dll().TimeDateStamp(0x12345678).Build();
  auto m = LoadImage<TPEModule>(image);
  IMAGE_FILE_HEADER h = m->COFFHeader();
  EXPECT_EQ(h.Machine, 0x014C);
  EXPECT_EQ(h.NumberOfSections, 2);
  EXPECT_EQ(h.TimeDateStamp, 0x12345678u);
  EXPECT_EQ(h.PointerToSymbolTable, 0u);
  EXPECT_EQ(h.SizeOfOptionalHeader, 224);
  EXPECT_EQ(h.Characteristics, 0x2102);
}

TEST(PEHeaders, OptionalHeaderIsDecoded) {
  ImageBuilder b = TwoSections();
  b.ImageBase(0x10000000).DataDirectory(5, 0x5000, 0x40).DataDirectory(15, 0xF000, 0xF0);
  auto m = LoadImage<TPEModule>(b.Build());
  IMAGE_OPTIONAL_HEADER32 oh = m->OptionalHeader().Pe32();
  EXPECT_EQ(oh.Magic, 0x10B);
  EXPECT_EQ(oh.MajorLinkerVersion, 2);
  EXPECT_EQ(oh.MinorLinkerVersion, 40);
  EXPECT_EQ(oh.SizeOfCode, 0x200u);
  EXPECT_EQ(oh.BaseOfCode, 0x1000u);
  EXPECT_EQ(oh.BaseOfData, 0x2000u);
  EXPECT_EQ(oh.ImageBase, 0x10000000u);
  EXPECT_EQ(oh.SectionAlignment, 0x1000u);
  EXPECT_EQ(oh.FileAlignment, 0x200u);
  EXPECT_EQ(oh.MajorOperatingSystemVersion, 4);
  EXPECT_EQ(oh.MajorSubsystemVersion, 4);
  EXPECT_EQ(oh.SizeOfImage, 0x3000u);
  EXPECT_EQ(oh.SizeOfHeaders, 0x200u);
  EXPECT_EQ(oh.Subsystem, 3);
  EXPECT_EQ(oh.DllCharacteristics, 0x140);
  EXPECT_EQ(oh.SizeOfStackReserve, 0x200000u);
  EXPECT_EQ(oh.SizeOfHeapCommit, 0x1000u);
  EXPECT_EQ(oh.NumberOfRvaAndSizes, 16u);
  EXPECT_EQ(oh.DataDirectory[5].VirtualAddress, 0x5000u);
  EXPECT_EQ(oh.DataDirectory[5].Size, 0x40u);
  EXPECT_EQ(oh.DataDirectory[15].VirtualAddress, 0xF000u);
  EXPECT_EQ(oh.DataDirectory[15].Size, 0xF0u);
}

TEST(PEHeaders, OptionalHeaderWithTwoDirectoriesReadsTheRestAsZero) {
  ImageBuilder b = TwoSections();
  b.DataDirectories(2).DataDirectory(1, 0x1234, 0x10);
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->COFFHeader().SizeOfOptionalHeader, 112);
  IMAGE_OPTIONAL_HEADER32 oh = m->OptionalHeader().Pe32();
  EXPECT_EQ(oh.NumberOfRvaAndSizes, 2u);
  EXPECT_EQ(oh.DataDirectory[1].VirtualAddress, 0x1234u);
  // The section table follows the short header, so these bytes are not directories.
  for (size_t i = 2; i < oh.DataDirectory.size(); ++i) {
    EXPECT_EQ(oh.DataDirectory[i].VirtualAddress, 0u) << i;
    EXPECT_EQ(oh.DataDirectory[i].Size, 0u) << i;
  }
  EXPECT_EQ(m->ImageSectionCount(), 2);
  EXPECT_EQ(m->ImageSection(0)->SectionName(), ".text");
}

TEST(PEHeaders, OptionalHeaderLargerThanItsDirectoriesIsAccepted) {
  ImageBuilder b = TwoSections();
  b.SizeOfOptionalHeader(240);
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->DataDirectoryCount(), 16);
  EXPECT_EQ(m->ImageSection(1)->SectionName(), ".data");
}

TEST(PEHeaders, ImageWithoutSectionsLoads) {
  auto m = LoadImage<TPEModule>(ImageBuilder().Build());
  EXPECT_EQ(m->ImageSectionCount(), 0);
  EXPECT_EQ(m->CommentSize(), 0u);
  EXPECT_EQ(m->EndCommentSize(), 0u);
}

// ---- data directories ----

TEST(PEDirectories, DataDirectoryCountIsNumberOfRvaAndSizes) {
  EXPECT_EQ(LoadImage<TPEModule>(TwoSections().Build())->DataDirectoryCount(), 16);
  ImageBuilder b = TwoSections();
  EXPECT_EQ(LoadImage<TPEModule>(b.DataDirectories(2).Build())->DataDirectoryCount(), 2);
  EXPECT_EQ(LoadImage<TPEModule>(b.DataDirectories(0).Build())->DataDirectoryCount(), 0);
}

TEST(PEDirectories, DataDirectoryCountIsZeroBeforeLoading) { EXPECT_EQ(TPEModule().DataDirectoryCount(), 0); }

TEST(PEDirectories, EntryPastTheCountRaisesARangeError) {
  ImageBuilder b = TwoSections();
  auto m = LoadImage<TPEModule>(b.DataDirectories(2).Build());
  EXPECT_EQ(RefusalMessage<ERangeError>([&] { m->DataDirectory(2); }), "Index exceeds data directory count");
  EXPECT_EQ(RefusalMessage<ERangeError>([&] { m->DataDirectory(-1); }), "Index exceeds data directory count");
  uint32_t offset = 0;
  EXPECT_EQ(RefusalMessage<ERangeError>([&] { m->GetResourceSection(offset); }), "Index exceeds data directory count");
  EXPECT_NO_THROW(m->DataDirectory(1));
}

TEST(PEDirectories, EntryReadsAndWritesTheOptionalHeader) {
  ImageBuilder b = TwoSections();
  auto m = LoadImage<TPEModule>(b.DataDirectory(3, 0x3000, 0x30).Build());
  TDataDirectoryEntry e = m->DataDirectory(3);
  EXPECT_EQ(e.VirtualAddress(), 0x3000u);
  EXPECT_EQ(e.Size(), 0x30u);
  e.SetVirtualAddress(0x4000);
  e.SetSize(0x44);
  EXPECT_EQ(m->OptionalHeader().Pe32().DataDirectory[3].VirtualAddress, 0x4000u);
  EXPECT_EQ(m->OptionalHeader().Pe32().DataDirectory[3].Size, 0x44u);
}

TEST(PEDirectories, FindDirectoryEntrySectionGivesTheSectionAndTheOffset) {
  ImageBuilder b = TwoSections();
  b.DataDirectory(1, 0x2010, 0x20);
  auto m = LoadImage<TPEModule>(b.Build());
  uint32_t offset = 0;
  EXPECT_EQ(m->FindDirectoryEntrySection(1, offset), 1);
  EXPECT_EQ(offset, 0x10u);
}

TEST(PEDirectories, AddressZeroFindsNoSectionAndLeavesTheOffset) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  uint32_t offset = 77;
  EXPECT_EQ(m->FindDirectoryEntrySection(2, offset), -1);
  EXPECT_EQ(offset, 77u);
  EXPECT_EQ(m->GetResourceSection(offset), nullptr);
}

TEST(PEDirectories, SizeZeroFindsNoSection) {
  ImageBuilder b = TwoSections();
  b.DataDirectory(2, 0x1000, 0);
  auto m = LoadImage<TPEModule>(b.Build());
  uint32_t offset = 77;
  EXPECT_EQ(m->FindDirectoryEntrySection(2, offset), -1);
  EXPECT_EQ(offset, 77u);
}

TEST(PEDirectories, AddressPastEverySectionFindsNone) {
  ImageBuilder b = TwoSections();
  b.DataDirectory(2, 0x2080, 0x10);  // .data has VirtualSize 0x80: 0x2080 is just past it
  auto m = LoadImage<TPEModule>(b.Build());
  uint32_t offset = 0;
  EXPECT_EQ(m->FindDirectoryEntrySection(2, offset), -1);
  b.DataDirectory(2, 0x207F, 0x10);
  EXPECT_EQ(LoadImage<TPEModule>(b.Build())->FindDirectoryEntrySection(2, offset), 1);
  EXPECT_EQ(offset, 0x7Fu);
}

TEST(PEDirectories, SectionEndingAtTheTopOfTheAddressSpaceIsSearchedWithoutWrapping) {
  ImageBuilder b;
  b.AddSection(Section(".top", Fill(16, 1)).VirtualAddress(0xFFFFF000).VirtualSize(0x1000));
  b.DataDirectory(2, 0x10, 0x10);
  auto m = LoadImage<TPEModule>(b.Build());
  uint32_t offset = 0;
  EXPECT_EQ(m->FindDirectoryEntrySection(2, offset), -1);
  m->DataDirectory(2).SetVirtualAddress(0xFFFFFFF0);
  EXPECT_EQ(m->FindDirectoryEntrySection(2, offset), 0);
  EXPECT_EQ(offset, 0xFF0u);
}

// ---- sections ----

TEST(PESections, SectionsAreReadInTableOrder) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  ASSERT_EQ(m->ImageSectionCount(), 2);
  const IMAGE_SECTION_HEADER& text = m->ImageSection(0)->SectionHeader();
  EXPECT_EQ(m->ImageSection(0)->SectionName(), ".text");
  EXPECT_EQ(text.VirtualAddress, 0x1000u);
  EXPECT_EQ(text.VirtualSize, 0x100u);
  EXPECT_EQ(text.SizeOfRawData, 0x200u);
  EXPECT_EQ(text.PointerToRawData, 0x200u);
  EXPECT_EQ(text.Characteristics, kCode);
  EXPECT_TRUE(m->ImageSection(0)->ContainsCode());
  EXPECT_FALSE(m->ImageSection(1)->ContainsCode());
  EXPECT_EQ(m->ImageSection(0)->RawData().Bytes(), Fill(0x100, 0xCC));
  EXPECT_EQ(m->ImageSection(1)->RawData().Bytes(), Fill(0x80, 0x11));
  EXPECT_EQ(m->ImageSection(0)->Parent(), m.get());
  EXPECT_EQ(m->ImageSection(0)->DirectoryEntry(), 0xFFFFFFFFu);
  EXPECT_EQ(m->ImageSection(0)->UninitializedDataSize(), 0);
}

TEST(PESections, RawSizeZeroUnderVirtualSizeIsAllUninitialized) {
  ImageBuilder b;
  b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(4096));
  auto m = LoadImage<TPEModule>(b.Build());
  TImageSection* s = m->ImageSection(0);
  EXPECT_EQ(s->RawData().Size(), 0);
  EXPECT_EQ(s->UninitializedDataSize(), 4096);
  EXPECT_EQ(s->SectionHeader().VirtualSize, 4096u);
}

TEST(PESections, RawSizeUnderVirtualSizeKeepsTheRawBytes) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(512, 7)).VirtualSize(4096));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImageSection(0)->RawData().Bytes(), Fill(512, 7));
  EXPECT_EQ(m->ImageSection(0)->UninitializedDataSize(), 4096 - 512);
}

TEST(PESections, ZeroVirtualSizeBecomesTheRawSize) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(512, 9)).VirtualSize(0));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImageSection(0)->SectionHeader().VirtualSize, 512u);
  EXPECT_EQ(m->ImageSection(0)->RawData().Size(), 512);
  EXPECT_EQ(m->ImageSection(0)->UninitializedDataSize(), 0);
}

TEST(PESections, PaddingPastTheVirtualSizeIsDropped) {
  Bytes data = Fill(100, 5);
  data.resize(512, 0xEE);  // the padding a linker leaves
  ImageBuilder b;
  b.AddSection(Section(".data", data).VirtualSize(100));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImageSection(0)->SectionHeader().SizeOfRawData, 512u);
  EXPECT_EQ(m->ImageSection(0)->RawData().Bytes(), Fill(100, 5));
}

TEST(PESections, EightByteNameHasNoZero) {
  ImageBuilder b;
  b.AddSection(Section(".eh_frame", Fill(4, 1)));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImageSection(0)->SectionName(), ".eh_fram");
  EXPECT_EQ(m->GetSectionByName(".eh_fram"), m->ImageSection(0));
}

TEST(PESections, LongNameFormIsReturnedUnchanged) {
  ImageBuilder b;
  b.AddSection(Section("/4", Fill(4, 1)));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImageSection(0)->SectionName(), "/4");
}

TEST(PESections, GetSectionByNameIsCaseSensitiveAndExact) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  EXPECT_EQ(m->GetSectionByName(".data"), m->ImageSection(1));
  EXPECT_EQ(m->GetSectionByName(".DATA"), nullptr);
  EXPECT_EQ(m->GetSectionByName(".dat"), nullptr);
  EXPECT_EQ(m->GetSectionByName(""), nullptr);
}

TEST(PESections, SizeSumsAddTheVirtualSizesOfMatchingSections) {
  ImageBuilder b = TwoSections();
  b.AddSection(Section(".rdata", Fill(0x30, 1), kReadOnlyData));
  b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(0x1000));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->GetCodeSize(), 0x100u);
  EXPECT_EQ(m->GetIDataSize(), 0x80u + 0x30u);
  EXPECT_EQ(m->GetUDataSize(), 0x1000u);
  EXPECT_EQ(m->SumSectionSizes(IMAGE_SCN_CNT_CODE | IMAGE_SCN_CNT_UNINITIALIZED_DATA), 0x1100u);
  EXPECT_EQ(m->FindFirstSectionWithFlags(IMAGE_SCN_CNT_INITIALIZED_DATA), m->ImageSection(1));
  EXPECT_EQ(m->FindFirstSectionWithFlags(IMAGE_SCN_MEM_DISCARDABLE), nullptr);
}

TEST(PESections, SectionWithoutRawDataNeedsNoFileBytes) {
  BuiltImage image = TwoSections().Build();
  image.PutU32(image.layout.SectionHeader(1) + field::kSecSizeOfRawData, 0);
  image.PutU32(image.layout.SectionHeader(1) + field::kSecPointerToRawData, 0x7FFFFFFF);
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->ImageSection(1)->RawData().Size(), 0);
  EXPECT_EQ(m->ImageSection(1)->UninitializedDataSize(), 0x80);
}

TEST(PESections, RelocationsAreRead) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(16, 0x90), kCode).Relocations({{0x1004, 3, 6}, {0x1008, 4, 20}}));
  auto m = LoadImage<TPEModule>(b.Build());
  TImageSection* s = m->ImageSection(0);
  ASSERT_EQ(s->RelocCount(), 2);
  EXPECT_EQ(s->Reloc(1).virtualAddress, 0x1008u);
  EXPECT_EQ(s->Reloc(1).symbolTableIndex, 4u);
  EXPECT_EQ(s->Reloc(1)._type, 20);
  ASSERT_NE(s->GetRelocPtr(), nullptr);
  EXPECT_EQ(s->GetRelocPtr()[0].virtualAddress, 0x1004u);
  EXPECT_EQ(RefusalMessage<EListError>([&] { s->Reloc(2); }), "List index out of bounds (2)");
  EXPECT_EQ(RefusalMessage<EListError>([&] { s->Reloc(-1); }), "List index out of bounds (-1)");
}

TEST(PESections, RelocationsOutsideTheFileAreAbsent) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(16, 0x90)).Relocations({{1, 2, 3}}));
  BuiltImage image = b.Build();
  image.PutU16(image.layout.SectionHeader(0) + field::kSecNumberOfRelocations, 0xFFFF);
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->ImageSection(0)->RelocCount(), 0);
  EXPECT_EQ(m->ImageSection(0)->GetRelocPtr(), nullptr);
}

TEST(PESections, CreateEmptyGivesANamedSectionWithoutData) {
  TPEModule owner;
  auto s = TImageSection::CreateEmpty(&owner, ".rsrc", kInitializedData, 2);
  EXPECT_EQ(s->SectionName(), ".rsrc");
  EXPECT_EQ(s->SectionHeader().Characteristics, kInitializedData);
  EXPECT_EQ(s->SectionHeader().VirtualAddress, 0u);
  EXPECT_EQ(s->SectionHeader().SizeOfRawData, 0u);
  EXPECT_EQ(s->DirectoryEntry(), 2u);
  EXPECT_EQ(s->RawData().Size(), 0);
  EXPECT_EQ(s->RelocCount(), 0);
  EXPECT_EQ(s->Parent(), &owner);
  EXPECT_EQ(TImageSection::CreateEmpty(&owner, ".a_long_name", 0, 0)->SectionName(), ".a_long_");
}

TEST(PESections, AddDataAppendsAndGrowsSizeOfRawData) {
  auto s = TImageSection::CreateEmpty(nullptr, ".x", 0, 0xFFFFFFFF);
  Bytes a = {1, 2, 3}, c = {4, 5};
  s->AddData(a.data(), 3);
  s->AddData(c.data(), 2);
  EXPECT_EQ(s->RawData().Bytes(), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(s->SectionHeader().SizeOfRawData, 5u);
}

TEST(PESections, AddDataAfterLoadingAppendsToTheKeptBytes) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  TImageSection* s = m->ImageSection(1);
  Bytes more = {0xAB};
  uint32_t before = s->SectionHeader().SizeOfRawData;
  s->AddData(more.data(), 1);
  EXPECT_EQ(s->RawData().Size(), 0x81);
  EXPECT_EQ(s->RawData().Bytes().back(), 0xAB);
  EXPECT_EQ(s->SectionHeader().SizeOfRawData, before + 1);
}

// ---- comment blocks ----

TEST(PEComments, DataRightAfterTheSectionTableLeavesNoCommentBlock) {
  auto m = LoadImage<TPEModule>(TwoSections().FileAlignment(1).Build());
  EXPECT_EQ(m->CommentSize(), 0u);
  EXPECT_TRUE(m->CommentBlock().empty());
}

TEST(PEComments, BytesBeforeTheFirstSectionDataAreTheCommentBlock) {
  Bytes comment(512);
  for (size_t i = 0; i < comment.size(); ++i) comment[i] = static_cast<uint8_t>(i * 7);
  auto m = LoadImage<TPEModule>(TwoSections().FileAlignment(1).CommentBlock(comment).Build());
  EXPECT_EQ(m->CommentSize(), 512u);
  EXPECT_EQ(BytesOf(m->CommentBlock()), comment);
}

TEST(PEComments, AlignmentPaddingCountsAsCommentBlock) {
  BuiltImage image = TwoSections().Build();
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->CommentSize(), 0x200u - image.layout.headersEnd);
}

TEST(PEComments, FirstSectionDataIsTheSmallestNonzeroPointer) {
  ImageBuilder b;
  b.FileAlignment(1);
  b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(0x100));
  b.AddSection(Section(".b", Fill(16, 2)).RawPointer(0x400));
  b.AddSection(Section(".a", Fill(16, 1)).RawPointer(0x300));
  BuiltImage image = b.Build();
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->CommentSize(), 0x300u - image.layout.headersEnd);
  EXPECT_EQ(m->EndCommentSize(), 0u);
}

TEST(PEComments, AllPointersZeroLeaveNoCommentBlock) {
  ImageBuilder b;
  b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(0x100));
  b.AddSection(Section(".bss2", {}, kUninitializedData).VirtualSize(0x100));
  b.Append(Fill(20, 0x5A));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->CommentSize(), 0u);
  EXPECT_TRUE(m->CommentBlock().empty());
  // Without section data, what follows the section table is the end comment.
  EXPECT_EQ(m->EndCommentSize(), 20u);
  EXPECT_EQ(BytesOf(m->EndComment()), Fill(20, 0x5A));
}

TEST(PEComments, AppendedBytesAreTheEndComment) {
  Bytes overlay;
  for (int i = 0; i < 100; ++i) overlay.push_back(static_cast<uint8_t>("OVERLAY-"[i % 8]));
  auto m = LoadImage<TPEModule>(TwoSections().Append(overlay).Build());
  EXPECT_EQ(m->EndCommentSize(), 100u);
  EXPECT_EQ(BytesOf(m->EndComment()), overlay);
}

TEST(PEComments, NoAppendedBytesLeaveNoEndComment) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  EXPECT_EQ(m->EndCommentSize(), 0u);
  EXPECT_TRUE(m->EndComment().empty());
}

TEST(PEComments, LastSectionCutShortAfterItsKeptBytesLoadsWithoutEndComment) {
  // SizeOfRawData promises padding the file does not have; only the VirtualSize bytes are needed.
  ImageBuilder b;
  b.FileAlignment(1);
  b.AddSection(Section(".data", Fill(100, 3)).VirtualSize(100).RawSize(4096));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImageSection(0)->RawData().Bytes(), Fill(100, 3));
  EXPECT_EQ(m->EndCommentSize(), 0u);
}

// ---- symbols and strings ----

TEST(CoffSymbols, ImageWithoutSymbolTableHasNone) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  EXPECT_EQ(m->SymbolCount(), 0);
  EXPECT_EQ(m->Symbol(0), nullptr);
  EXPECT_EQ(m->symbolTableIndex(), nullptr);
  EXPECT_EQ(m->StringTableCount(), 0);
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->StringTableEntry(0); }), "List index out of bounds (0)");
}

TEST(CoffSymbols, SymbolFieldsAreRead) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("_main").Value(0x10).SectionNumber(1).Type(0x20).StorageClass(2));
  b.AddSymbol(Symbol(".data").Value(0).SectionNumber(0xFFFF).Type(0).StorageClass(3));
  auto m = LoadImage<TPEModule>(b.Build());
  ASSERT_EQ(m->SymbolCount(), 2);
  TSymbol* s = m->Symbol(0);
  EXPECT_EQ(s->Name(), "_main");
  EXPECT_EQ(s->value(), 0x10u);
  EXPECT_EQ(s->sectionNumber(), 1);
  EXPECT_EQ(s->SectionType(), 0x20);
  EXPECT_EQ(s->storageClass(), 2);
  EXPECT_EQ(m->Symbol(1)->Name(), ".data");
  EXPECT_EQ(m->Symbol(1)->sectionNumber(), 0xFFFF);
  EXPECT_EQ(m->Symbol(1)->storageClass(), 3);
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->Symbol(2); }), "List index out of bounds (2)");
}

TEST(CoffSymbols, EightByteShortNameHasNoZero) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("abcdefgh"));
  EXPECT_EQ(LoadImage<TPEModule>(b.Build())->Symbol(0)->Name(), "abcdefgh");
}

TEST(CoffSymbols, LongNameComesFromTheStringTable) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("a_rather_long_symbol_name"));
  b.AddSymbol(Symbol("another_long_one"));
  BuiltImage image = b.Build();
  EXPECT_EQ(image.GetU32(image.layout.Symbol(0) + 4), 4u);  // offset 4: the first string
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->Symbol(0)->Name(), "a_rather_long_symbol_name");
  EXPECT_EQ(m->Symbol(1)->Name(), "another_long_one");
  ASSERT_EQ(m->StringTableCount(), 2);
  EXPECT_EQ(m->StringTableEntry(0), "a_rather_long_symbol_name");
  EXPECT_EQ(m->StringTableEntry(1), "another_long_one");
}

TEST(CoffSymbols, SymbolWithTwoAuxRecordsTakesThreeIndexEntries) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("first"));
  b.AddSymbol(Symbol(".file").Aux(2));
  b.AddSymbol(Symbol("last"));
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->COFFHeader().NumberOfSymbols, 5u);
  ASSERT_EQ(m->SymbolCount(), 3);
  const std::vector<TSymbol*>* index = m->symbolTableIndex();
  ASSERT_NE(index, nullptr);
  ASSERT_EQ(index->size(), 5u);
  EXPECT_EQ((*index)[0], m->Symbol(0));
  EXPECT_EQ((*index)[1], m->Symbol(1));
  EXPECT_EQ((*index)[2], m->Symbol(1));
  EXPECT_EQ((*index)[3], m->Symbol(1));
  EXPECT_EQ((*index)[4], m->Symbol(2));
  EXPECT_EQ(m->Symbol(2)->Name(), "last");
}

TEST(CoffSymbols, AuxCountPastTheTableIsClipped) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("a"));
  b.AddSymbol(Symbol("b").Aux(1));
  BuiltImage image = b.Build();
  image.PutU8(image.layout.Symbol(1) + 17, 255);
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->SymbolCount(), 2);
  EXPECT_EQ(m->symbolTableIndex()->size(), 3u);
}

TEST(CoffSymbols, SymbolTablePastTheFileIsAbsent) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("a"));
  BuiltImage image = b.Build();
  image.PutU32(image.layout.coffHeader + field::kCoffNumberOfSymbols, 0x10000000);
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->SymbolCount(), 0);
  EXPECT_EQ(m->symbolTableIndex(), nullptr);
  EXPECT_EQ(m->StringTableCount(), 0);
  EXPECT_EQ(m->ImageSectionCount(), 2);
}

TEST(CoffSymbols, StringTableOfLengthFourIsNoStringTable) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("short"));
  b.WithSymbolTable();
  BuiltImage image = b.Build();
  EXPECT_EQ(image.GetU32(image.layout.stringTable), 4u);
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->StringTableCount(), 0);
  EXPECT_EQ(m->SymbolCount(), 1);
}

TEST(CoffSymbols, StringTableLengthBelowFourIsNoStringTable) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("a_rather_long_symbol_name"));
  b.StringTableLength(2);
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->StringTableCount(), 0);
  EXPECT_EQ(m->Symbol(0)->Name(), "");  // its string is not in a table
}

TEST(CoffSymbols, StringTableWithoutSymbolsIsRead) {
  ImageBuilder b = TwoSections();
  b.AddString("one").AddString("two").AddString("");
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->SymbolCount(), 0);
  ASSERT_EQ(m->StringTableCount(), 3);
  EXPECT_EQ(m->StringTableEntry(1), "two");
  EXPECT_EQ(m->StringTableEntry(2), "");
}

TEST(CoffSymbols, StringTableLongerThanTheFileEndsAtTheFileEnd) {
  ImageBuilder b = TwoSections();
  b.AddString("alpha").AddString("beta");
  b.StringTableLength(1000000);
  auto m = LoadImage<TPEModule>(b.Build());
  ASSERT_EQ(m->StringTableCount(), 2);
  EXPECT_EQ(m->StringTableEntry(1), "beta");
}

TEST(CoffSymbols, LastStringRunningPastTheLengthEndsThere) {
  ImageBuilder b = TwoSections();
  b.AddString("alpha").AddString("beta");
  b.StringTableLength(4 + 6 + 2);  // "alpha\0" and "be"
  auto m = LoadImage<TPEModule>(b.Build());
  ASSERT_EQ(m->StringTableCount(), 2);
  EXPECT_EQ(m->StringTableEntry(0), "alpha");
  EXPECT_EQ(m->StringTableEntry(1), "be");
}

TEST(CoffSymbols, LongNameOffsetOutsideTheStringTableGivesAnEmptyName) {
  ImageBuilder b = TwoSections();
  b.AddSymbol(Symbol("a_rather_long_symbol_name"));
  b.AddSymbol(Symbol("b_rather_long_symbol_name"));
  BuiltImage image = b.Build();
  image.PutU32(image.layout.Symbol(0) + 4, 0xFFFFFFF0);
  image.PutU32(image.layout.Symbol(1) + 4, 2);  // inside the length field
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->Symbol(0)->Name(), "");
  EXPECT_EQ(m->Symbol(1)->Name(), "");
}

TEST(CoffSymbols, StringTableStartPastTheFileIsNoStringTable) {
  ImageBuilder b = TwoSections();
  b.AddString("x");
  BuiltImage image = b.Build();
  image.PutU32(image.layout.coffHeader + field::kCoffPointerToSymbolTable, 0xFFFFFFF0);
  auto m = LoadImage<TPEModule>(image);
  EXPECT_EQ(m->StringTableCount(), 0);
}

// ---- exports ----

ImageBuilder WithExports(uint32_t base, const std::vector<ExportName>& names) {
  ImageBuilder b = TwoSections();
  b.Dll();
  b.AddDirectorySection(".edata", 0x3000, BuildExportDirectory(0x3000, "lib.dll", base, 3, names), 0, kReadOnlyData);
  return b;
}

TEST(PEExports, ExportCountIsTheNumberOfNames) {
  auto m = LoadImage<TPEModule>(WithExports(1, {{"add", 0}, {"hello", 1}}).Build());
  EXPECT_EQ(m->ExportCount(), 2);
  EXPECT_FALSE(m->ExportSectionData().IsNull());
}

TEST(PEExports, DetailsGiveTheNameAndTheOrdinalIndex) {
  auto m = LoadImage<TPEModule>(WithExports(5, {{"add", 2}, {"hello", 1}, {"sub", 0}}).Build());
  std::string name;
  uint32_t ordinal = 99;
  m->GetExportDetails(0, name, ordinal);
  EXPECT_EQ(name, "add");
  EXPECT_EQ(ordinal, 2u);
  m->GetExportDetails(2, name, ordinal);
  EXPECT_EQ(name, "sub");
  EXPECT_EQ(ordinal, 0u);
}

TEST(PEExports, OrdinalZeroIsReportedEvenWithBaseOne) {
  auto m = LoadImage<TPEModule>(WithExports(1, {{"first", 0}}).Build());
  std::string name;
  uint32_t ordinal = 99;
  m->GetExportDetails(0, name, ordinal);
  EXPECT_EQ(name, "first");
  EXPECT_EQ(ordinal, 0u);
}

TEST(PEExports, DetailsPastTheTablesLeaveNameAndOrdinalUnchanged) {
  BuiltImage image = WithExports(1, {{"add", 0}}).Build();
  auto m = LoadImage<TPEModule>(image);
  std::string name = "unchanged";
  uint32_t ordinal = 99;
  m->GetExportDetails(100000, name, ordinal);
  m->GetExportDetails(-1, name, ordinal);
  m->GetExportDetails(0x7FFFFFFF, name, ordinal);
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(ordinal, 99u);
  // Tables pointing outside the section.
  uint32_t dir = image.layout.sectionData[2];
  image.PutU32(dir + 32, 0xFFFFFFFE);
  image.PutU32(dir + 36, 0x10);
  auto bad = LoadImage<TPEModule>(image);
  bad->GetExportDetails(0, name, ordinal);
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(ordinal, 99u);
}

TEST(PEExports, NameOutsideTheSectionReadsAsEmpty) {
  BuiltImage image = WithExports(1, {{"add", 0}}).Build();
  uint32_t nameTable = image.GetU32(image.layout.sectionData[2] + 32) - 0x3000;
  image.PutU32(image.layout.sectionData[2] + nameTable, 0x900000);
  auto m = LoadImage<TPEModule>(image);
  std::string name = "unchanged";
  uint32_t ordinal = 99;
  m->GetExportDetails(0, name, ordinal);
  EXPECT_EQ(name, "");
  EXPECT_EQ(ordinal, 0u);
}

TEST(PEExports, ImageWithoutExportsHasNone) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  EXPECT_EQ(m->ExportCount(), 0);
  EXPECT_TRUE(m->ExportSectionData().IsNull());
  uint32_t offset = 0;
  EXPECT_EQ(m->GetExportSection(offset), nullptr);
  std::string name = "x";
  uint32_t ordinal = 1;
  m->GetExportDetails(0, name, ordinal);
  EXPECT_EQ(name, "x");
}

// ---- imports ----

std::vector<ImportSpec> ThreeImports() {
  return {{"KERNEL32.dll", {"ExitProcess", "GetLastError"}}, {"msvcrt.dll", {"printf"}}, {"VERSION.dll", {"A", "B"}}};
}

TEST(PEImports, ThreeDescriptorsGiveImportCountThree) {
  ImageBuilder b = TwoSections();
  b.AddDirectorySection(".idata", 0x3000, BuildImportDirectory(0x3000, ThreeImports()), 1);
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImportCount(), 3);
  std::optional<TImageImportDescriptor> third = m->Import(2);
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(m->ImportSectionData().CString(third->Name), "VERSION.dll");
  EXPECT_NE(third->FirstThunk, 0u);
  EXPECT_EQ(m->ImportSectionData().CString(m->Import(0)->Name), "KERNEL32.dll");
  EXPECT_FALSE(m->Import(3).has_value());
  EXPECT_FALSE(m->Import(-1).has_value());
}

TEST(PEImports, DescriptorsWithoutTerminatorStopAtTheSectionEnd) {
  Bytes dir = BuildImportDirectory(0x3000, {{"a.dll", {"f"}}});
  // Fill the section with non-zero descriptors only: 5 of them, no terminator.
  Bytes descriptors;
  for (int i = 0; i < 5; ++i)
    for (int k = 0; k < 20; ++k) descriptors.push_back(static_cast<uint8_t>(i + 1));
  ImageBuilder b = TwoSections();
  b.AddSection(Section(".idata", descriptors).VirtualAddress(0x3000).VirtualSize(100));
  b.DataDirectory(1, 0x3000, 100);
  auto m = LoadImage<TPEModule>(b.Build());
  EXPECT_EQ(m->ImportCount(), 5);
  EXPECT_TRUE(m->Import(4).has_value());
  EXPECT_FALSE(m->Import(5).has_value());
}

TEST(PEImports, ImageWithoutImportsHasNone) {
  auto m = LoadImage<TPEModule>(TwoSections().Build());
  EXPECT_EQ(m->ImportCount(), 0);
  EXPECT_FALSE(m->Import(0).has_value());
  EXPECT_TRUE(m->ImportSectionData().IsNull());
}

TEST(PEImports, RvaViewRefusesReadsOutsideItsSection) {
  ImageBuilder b = TwoSections();
  b.AddDirectorySection(".idata", 0x3000, BuildImportDirectory(0x3000, ThreeImports()), 1);
  auto m = LoadImage<TPEModule>(b.Build());
  TRvaView v = m->ImportSectionData();
  EXPECT_TRUE(v.has(0x3000, 20));
  EXPECT_FALSE(v.has(0x2FFF, 1));
  EXPECT_EQ(RefusalMessage<EPEException>([&] { v.u32(0x2FFE, "Import descriptor"); }),
            "Import descriptor lies outside its section");
  EXPECT_EQ(v.CString(0x10), "");
  EXPECT_EQ(TRvaView().CString(0x3000), "");
  EXPECT_FALSE(TRvaView().has(0, 0));
}

// ---- refusals ----

// The small image, of the format magic names, with fields patched.
std::function<Bytes(uint16_t)> Patched(void (*put)(BuiltImage&)) {
  return [=](uint16_t magic) {
    BuiltImage image = TwoSections(magic).Build();
    put(image);
    return image.bytes;
  };
}

// Each refusal holds for both formats, read with -64 (image(magic) gives the image in
// the format magic names), but the first: PE32+ without -64.
struct Refusal {
  const char* name;
  const char* message;
  std::function<Bytes(uint16_t magic)> image;
  bool withSwitch = true;
};

uint32_t FixedFields(uint16_t magic) { return magic == 0x20B ? 112 : 96; }

const char kTooSmallForDirectories[] = "The optional header is too small for its data directories";

const Refusal kRefusals[] = {
    {"ZMDosSignature", "Invalid DOS signature", Patched([](BuiltImage& i) {
       i.PutU8(0, 'Z');
       i.PutU8(1, 'M');
     })},
    {"FileOfOneByte", "Invalid DOS signature", [](uint16_t) { return Bytes{'M'}; }},
    {"EmptyFile", "Invalid DOS signature", [](uint16_t) { return Bytes{}; }},
    {"MZWithoutTheRestOfTheDosHeader", "DOS header lies outside the file",
     [](uint16_t) {
       return Bytes{'M', 'Z', 0, 0};
     }},
    {"SignatureWithWrongVersionBytes", "Invalid COFF signature",
     Patched([](BuiltImage& i) { i.PutU32(i.layout.peOffset, 0x01004550); })},  // 50 45 00 01
    {"LfanewLeavingNoRoomForTheSignature", "PE signature lies outside the file",
     Patched([](BuiltImage& i) { i.PutU32(field::kDosLfanew, i.layout.fileSize - 2); })},
    {"LfanewPastTheFile", "PE signature lies outside the file",
     Patched([](BuiltImage& i) { i.PutU32(field::kDosLfanew, 0xFFFFFFFF); })},
    {"PE32PlusWithoutTheSwitch", "Invalid Windows Image", [](uint16_t) { return TwoSections(0x20B).Build().bytes; },
     false},
    {"RomImage", "Invalid Windows Image", [](uint16_t) { return TwoSections(0x107).Build().bytes; }},
    {"FileEndingInsideTheMagic", "Optional header lies outside the file",
     [](uint16_t magic) {
       BuiltImage image = TwoSections(magic).Build();
       return image.Truncated(image.layout.optionalHeader + 1);
     }},
    {"FileEndingInsideTheCoffHeader", "COFF header lies outside the file",
     [](uint16_t magic) {
       BuiltImage image = TwoSections(magic).Build();
       return image.Truncated(image.layout.optionalHeader - 3);
     }},
    {"OptionalHeaderSmallerThanItsDirectories", kTooSmallForDirectories,
     [](uint16_t magic) { return TwoSections(magic).SizeOfOptionalHeader(FixedFields(magic) + 8 * 15).Build().bytes; }},
    {"OptionalHeaderSmallerThanItsFixedFields", kTooSmallForDirectories,
     [](uint16_t magic) {
       return TwoSections(magic).DataDirectories(0).SizeOfOptionalHeader(FixedFields(magic) - 4).Build().bytes;
     }},
    // 8 * n wraps in 32 bits.
    {"HugeDirectoryCountWithoutOverflow", kTooSmallForDirectories,
     Patched([](BuiltImage& i) { i.PutU32(i.layout.NumberOfRvaAndSizes(), 0x20000000); })},
    {"SectionTablePastTheFile", "Section table lies outside the file",
     Patched([](BuiltImage& i) { i.PutU16(i.layout.coffHeader + field::kCoffNumberOfSections, 0xFFFF); })},
    {"SectionDataPastTheFile", "Section .data data lies outside the file", Patched([](BuiltImage& i) {
       i.PutU32(i.layout.SectionHeader(1) + field::kSecPointerToRawData, i.layout.fileSize - 0x40);
     })},
    {"SectionDataPointerNearTheTopOfTheAddressSpace", "Section .data data lies outside the file",
     Patched([](BuiltImage& i) { i.PutU32(i.layout.SectionHeader(1) + field::kSecPointerToRawData, 0xFFFFFFF0); })},
    // The comment block reaches up to the smallest data pointer, which must be in the file.
    {"FirstDataPointerPastTheFile", "Comment block lies outside the file",
     [](uint16_t magic) {
       ImageBuilder b;
       b.Magic(magic);
       b.AddSection(Section(".bss", {}, kUninitializedData).VirtualSize(0x100).RawPointer(0x100000));
       return b.Build().bytes;
     }},
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class PERefusals : public ::testing::TestWithParam<std::tuple<Refusal, uint16_t>> {};

TEST_P(PERefusals, AreRefusedWithTheirMessage) {
  const auto& [refusal, magic] = GetParam();
  Bytes image = refusal.image(magic);
  TPEModule m;
  m.AcceptPE32Plus(refusal.withSwitch);
  EXPECT_EQ(RefusalMessage<EPEException>([&] { m.LoadFromBytes(ByteView(image.data(), image.size())); }),
            refusal.message);
}

INSTANTIATE_TEST_SUITE_P(Image, PERefusals,
                         ::testing::Combine(::testing::ValuesIn(kRefusals), ::testing::Values(0x10B, 0x20B)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == 0x20B ? "_PE32Plus" : "_PE32");
                         });

// ---- loading ----

TEST(PELoading, LoadFromStreamReadsFromTheStart) {
  BuiltImage image = TwoSections().Append(Fill(3, 1)).Build();
  TMemoryStream stream(image.bytes.data(), image.bytes.size());
  stream.SetPosition(100);
  TPEModule m;
  m.LoadFromStream(stream);
  EXPECT_EQ(m.ImageSectionCount(), 2);
  EXPECT_EQ(m.EndCommentSize(), 3u);
}

TEST(PELoading, LoadFromFileReadsTheImage) {
  ScratchDir dir;
  WriteFileBytes(dir.file("in.exe"), TwoSections().Build().bytes);
  TPEModule m;
  m.LoadFromFile(dir.file16("in.exe"));
  EXPECT_EQ(m.ImageSectionCount(), 2);
  EXPECT_EQ(m.ImageSection(0)->RawData().Bytes(), Fill(0x100, 0xCC));
}

TEST(PELoading, LoadingAgainReplacesThePreviousImage) {
  TPEModule m;
  BuiltImage first = TwoSections().Append(Fill(10, 1)).CommentBlock(Fill(4, 4)).Build();
  m.LoadFromBytes(first.View());
  ImageBuilder b;
  b.FileAlignment(1);
  b.AddSection(Section(".only", Fill(8, 8)));
  BuiltImage second = b.Build();
  m.LoadFromBytes(second.View());
  EXPECT_EQ(m.ImageSectionCount(), 1);
  EXPECT_EQ(m.EndCommentSize(), 0u);
  EXPECT_EQ(m.CommentSize(), 0u);
  EXPECT_EQ(m.ImageSection(0)->SectionName(), ".only");
}

TEST(PELoading, MissingFileIsAnOpenError) {
  TPEModule m;
  EXPECT_THROW(m.LoadFromFile(u"/nonexistent/tolvane/none.exe"), EStreamError);
}

TEST(PEStructuresCoding, HeadersEncodeToWhatTheyDecodeFrom) {
  BuiltImage image = TwoSections().Build();
  ByteView v = image.View();
  std::vector<uint8_t> out;
  IMAGE_DOS_HEADER::Decode(v).Encode(out);
  EXPECT_EQ(out, Bytes(image.bytes.begin(), image.bytes.begin() + 64));
  out.clear();
  IMAGE_FILE_HEADER::Decode(v.from(image.layout.coffHeader)).Encode(out);
  EXPECT_EQ(out,
            Bytes(image.bytes.begin() + image.layout.coffHeader, image.bytes.begin() + image.layout.coffHeader + 20));
  out.clear();
  IMAGE_SECTION_HEADER::Decode(v.from(image.layout.SectionHeader(1))).Encode(out);
  EXPECT_EQ(out, Bytes(image.bytes.begin() + image.layout.SectionHeader(1),
                       image.bytes.begin() + image.layout.SectionHeader(1) + 40));
  for (uint16_t magic : {0x10B, 0x20B}) {
    BuiltImage built = TwoSections(magic).ImageBase(0x123456789A0000).Build();
    const uint32_t n = built.layout.fixedFields;
    const ByteView header = built.View().from(built.layout.optionalHeader);
    Bytes fixed(n, 0xEE);
    TOptionalHeader::Decode(header).EncodeFixedFields(fixed.data());
    EXPECT_EQ(fixed, Bytes(header.data(), header.data() + n)) << magic;
  }
  // PE32+ holds an 8-byte ImageBase where PE32 has BaseOfData and ImageBase.
  EXPECT_EQ(TOptionalHeader::Decode(TwoSections(0x20B)
                                        .ImageBase(0x123456789A0000)
                                        .Build()
                                        .View()
                                        .from(TwoSections(0x20B).Build().layout.optionalHeader))
                .ImageBase(),
            0x123456789A0000u);
}

}  // namespace
}  // namespace tolvane::test
