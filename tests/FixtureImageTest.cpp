// The MinGW-built fixture images read by the image reader, compared with what
// pefile recorded about them in tests/fixtures/<image>.resources.txt and
// <image>.headers.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "StringTable.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "unitPEFile.h"

namespace tolvane::test {
namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    lines.push_back(line);
  }
  return lines;
}

struct RecordedResource {
  std::string type, name;
  uint32_t language = 0, codePage = 0, size = 0;
  std::string sha256;
};

std::vector<RecordedResource> RecordedResources(const std::string& image) {
  std::vector<RecordedResource> result;
  for (const std::string& line : Lines(FixturePath(image + ".resources.txt"))) {
    std::istringstream fields(line);
    RecordedResource r;
    fields >> r.type >> r.name >> r.language >> r.codePage >> r.size >> r.sha256;
    result.push_back(r);
  }
  return result;
}

struct RecordedHeaders {
  std::map<std::string, std::string> values;
  std::vector<std::string> sections, exports, imports;

  bool has(const std::string& key) const { return values.count(key) != 0; }
  uint64_t number(const std::string& key) const { return std::stoull(values.at(key)); }
};

RecordedHeaders Headers(const std::string& image) {
  RecordedHeaders h;
  for (const std::string& line : Lines(FixturePath(image + ".headers.txt"))) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "section")
      h.sections.push_back(value);
    else if (key == "export")
      h.exports.push_back(value);
    else if (key == "import")
      h.imports.push_back(value);
    else
      h.values[key] = value;
  }
  return h;
}

// "app_unstripped.exe" -> "AppUnstrippedExe", for test names.
std::string CamelName(const std::string& file) {
  std::string out;
  bool upper = true;
  for (char c : file) {
    if (c == '_' || c == '.') {
      upper = true;
      continue;
    }
    out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return out;
}

class FixtureImage : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    const std::string& image = GetParam();
    for (const std::string& file : {image, image + ".resources.txt", image + ".headers.txt"})
      if (!std::filesystem::exists(FixturePath(file)))
        GTEST_SKIP() << "fixture " << FixturePath(file) << " is missing (tests/fixtures/build.sh makes it)";
    fModule = std::make_unique<TPEResourceModule>();
    fModule->LoadFromFile(ToU16(FixturePath(image)));
    fHeaders = Headers(image);
  }

  std::unique_ptr<TPEResourceModule> fModule;
  RecordedHeaders fHeaders;
};

TEST_P(FixtureImage, ResourcesMatchTheRecordedOnes) {
  std::vector<RecordedResource> recorded = RecordedResources(GetParam());
  ASSERT_EQ(fModule->ResourceCount(), static_cast<int>(recorded.size()));
  if (fHeaders.has("resource_count")) {
    EXPECT_EQ(recorded.size(), fHeaders.number("resource_count"));
  }
  for (size_t i = 0; i < recorded.size(); ++i) {
    TResourceDetails* d = fModule->ResourceDetails(static_cast<int>(i));
    const RecordedResource& r = recorded[i];
    EXPECT_EQ(platform::WideToUtf8(d->ResourceType()), r.type) << i;
    EXPECT_EQ(platform::WideToUtf8(d->ResourceName()), r.name) << i;
    EXPECT_EQ(d->ResourceLanguage(), r.language) << i;
    EXPECT_EQ(static_cast<uint32_t>(d->CodePage()), r.codePage) << i;
    EXPECT_EQ(d->RawData().Size(), r.size) << i;
    EXPECT_EQ(Sha256Hex(d->RawData().Memory(), d->RawData().ByteSize()), r.sha256) << i;
    EXPECT_FALSE(d->Dirty()) << i;
  }
}

TEST_P(FixtureImage, HeadersMatchTheRecordedOnes) {
  const RecordedHeaders& h = fHeaders;
  EXPECT_EQ(fModule->DOSHeader().e_lfanew, h.number("e_lfanew"));
  IMAGE_FILE_HEADER coff = fModule->COFFHeader();
  EXPECT_EQ(coff.Machine, h.number("machine"));
  EXPECT_EQ(coff.NumberOfSections, h.number("number_of_sections"));
  EXPECT_EQ(coff.TimeDateStamp, h.number("time_date_stamp"));
  EXPECT_EQ(coff.PointerToSymbolTable, h.number("pointer_to_symbol_table"));
  EXPECT_EQ(coff.NumberOfSymbols, h.number("number_of_symbols"));
  EXPECT_EQ(coff.SizeOfOptionalHeader, h.number("size_of_optional_header"));
  EXPECT_EQ(coff.Characteristics, h.number("characteristics"));

  IMAGE_OPTIONAL_HEADER32 oh = fModule->OptionalHeader().Pe32();
  const std::map<std::string, uint64_t> fields = {
      {"magic", oh.Magic},
      {"major_linker_version", oh.MajorLinkerVersion},
      {"minor_linker_version", oh.MinorLinkerVersion},
      {"size_of_code", oh.SizeOfCode},
      {"size_of_initialized_data", oh.SizeOfInitializedData},
      {"size_of_uninitialized_data", oh.SizeOfUninitializedData},
      {"address_of_entry_point", oh.AddressOfEntryPoint},
      {"base_of_code", oh.BaseOfCode},
      {"base_of_data", oh.BaseOfData},
      {"image_base", oh.ImageBase},
      {"section_alignment", oh.SectionAlignment},
      {"file_alignment", oh.FileAlignment},
      {"major_subsystem_version", oh.MajorSubsystemVersion},
      {"minor_subsystem_version", oh.MinorSubsystemVersion},
      {"size_of_image", oh.SizeOfImage},
      {"size_of_headers", oh.SizeOfHeaders},
      {"checksum", oh.CheckSum},
      {"subsystem", oh.Subsystem},
      {"dll_characteristics", oh.DllCharacteristics},
      {"size_of_stack_reserve", oh.SizeOfStackReserve},
      {"size_of_stack_commit", oh.SizeOfStackCommit},
      {"size_of_heap_reserve", oh.SizeOfHeapReserve},
      {"size_of_heap_commit", oh.SizeOfHeapCommit},
      {"number_of_rva_and_sizes", oh.NumberOfRvaAndSizes},
  };
  for (const auto& [key, value] : fields) {
    ASSERT_TRUE(h.has(key)) << key;
    EXPECT_EQ(value, h.number(key)) << key;
  }
  ASSERT_EQ(fModule->DataDirectoryCount(), static_cast<int>(h.number("number_of_rva_and_sizes")));
  for (int i = 0; i < fModule->DataDirectoryCount(); ++i) {
    EXPECT_EQ(fModule->DataDirectory(i).VirtualAddress(), h.number("dir" + std::to_string(i) + "_va")) << i;
    EXPECT_EQ(fModule->DataDirectory(i).Size(), h.number("dir" + std::to_string(i) + "_size")) << i;
  }
}

TEST_P(FixtureImage, SectionsMatchTheRecordedOnes) {
  ASSERT_EQ(fModule->ImageSectionCount(), static_cast<int>(fHeaders.sections.size()));
  for (int i = 0; i < fModule->ImageSectionCount(); ++i) {
    std::istringstream fields(fHeaders.sections[static_cast<size_t>(i)]);
    std::string name;
    uint64_t va, vsize, rawptr, rawsize, characteristics;
    fields >> name >> va >> vsize >> rawptr >> rawsize >> characteristics;
    TImageSection* s = fModule->ImageSection(i);
    const IMAGE_SECTION_HEADER& sh = s->SectionHeader();
    EXPECT_EQ(s->SectionName(), name) << i;
    EXPECT_EQ(sh.VirtualAddress, va) << name;
    EXPECT_EQ(sh.VirtualSize, vsize) << name;
    EXPECT_EQ(sh.PointerToRawData, rawptr) << name;
    EXPECT_EQ(sh.SizeOfRawData, rawsize) << name;
    EXPECT_EQ(sh.Characteristics, characteristics) << name;
    EXPECT_EQ(static_cast<uint64_t>(s->RawData().Size()), std::min(vsize, rawsize)) << name;
    EXPECT_EQ(static_cast<uint64_t>(s->UninitializedDataSize()), vsize > rawsize ? vsize - rawsize : 0) << name;
  }
}

TEST_P(FixtureImage, CommentBlocksSymbolsAndStringsMatchTheRecordedOnes) {
  const RecordedHeaders& h = fHeaders;
  EXPECT_EQ(fModule->EndCommentSize(), h.number("overlay_size"));

  uint64_t headersEnd =
      h.number("e_lfanew") + 24 + h.number("size_of_optional_header") + 40 * h.number("number_of_sections");
  uint64_t firstData = UINT64_MAX;
  for (const std::string& section : h.sections) {
    std::istringstream fields(section);
    std::string name;
    uint64_t va, vsize, rawptr;
    fields >> name >> va >> vsize >> rawptr;
    if (rawptr != 0) firstData = std::min(firstData, rawptr);
  }
  EXPECT_EQ(fModule->CommentSize(), firstData - headersEnd);

  if (h.number("number_of_symbols") == 0) {
    EXPECT_EQ(fModule->SymbolCount(), 0);
    EXPECT_EQ(fModule->symbolTableIndex(), nullptr);
  } else {
    ASSERT_NE(fModule->symbolTableIndex(), nullptr);
    EXPECT_EQ(fModule->symbolTableIndex()->size(), h.number("number_of_symbols"));
    EXPECT_GT(fModule->SymbolCount(), 0);
  }
  if (h.has("string_table_count")) {
    EXPECT_EQ(static_cast<uint64_t>(fModule->StringTableCount()), h.number("string_table_count"));
  } else {
    EXPECT_EQ(fModule->StringTableCount(), 0);
  }
}

TEST_P(FixtureImage, ExportsAndImportsMatchTheRecordedOnes) {
  const RecordedHeaders& h = fHeaders;
  if (h.has("export_count")) {
    EXPECT_EQ(static_cast<uint64_t>(fModule->ExportCount()), h.number("export_count"));
    ASSERT_EQ(fModule->ExportCount(), static_cast<int>(h.exports.size()));
    for (size_t i = 0; i < h.exports.size(); ++i) {
      std::istringstream fields(h.exports[i]);
      std::string name;
      uint32_t biased, index;
      fields >> name >> biased >> index;
      std::string readName;
      uint32_t ordinal = 0xFFFFFFFF;
      fModule->GetExportDetails(static_cast<int>(i), readName, ordinal);
      EXPECT_EQ(readName, name) << i;
      EXPECT_EQ(ordinal, index) << i;
    }
  } else {
    EXPECT_EQ(fModule->ExportCount(), 0);
  }

  ASSERT_EQ(static_cast<uint64_t>(fModule->ImportCount()), h.number("import_count"));
  ASSERT_EQ(h.imports.size(), h.number("import_count"));
  TRvaView view = fModule->ImportSectionData();
  for (size_t i = 0; i < h.imports.size(); ++i) {
    std::istringstream fields(h.imports[i]);
    std::string dll;
    uint32_t functions;
    fields >> dll >> functions;
    std::optional<TImageImportDescriptor> d = fModule->Import(static_cast<int>(i));
    ASSERT_TRUE(d.has_value()) << i;
    EXPECT_EQ(view.CString(d->Name), dll) << i;
    uint32_t count = 0;
    for (uint32_t rva = d->FirstThunk; view.has(rva, 4) && view.u32(rva, "thunk") != 0; rva += 4) ++count;
    EXPECT_EQ(count, functions) << dll;
  }
  EXPECT_FALSE(fModule->Import(static_cast<int>(h.imports.size())).has_value());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureImage,
                         ::testing::Values("app.exe", "app_unstripped.exe", "lib.dll", "overlay.exe", "nores.dll",
                                           "dataloader.exe"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return CamelName(info.param); });

TEST(FixtureImageDetails, OverlayIsTheEndCommentByteForByte) {
  std::string path = FixturePath("overlay.exe");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "fixture " << path << " is missing";
  TPEResourceModule m;
  m.LoadFromFile(ToU16(path));
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "OVERLAY-"[i % 8];
  EXPECT_EQ(BytesOf(m.EndComment()), BytesOf(expected));
}

TEST(FixtureImageDetails, UnstrippedSectionsKeepTheirLongNameForm) {
  std::string path = FixturePath("app_unstripped.exe");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "fixture " << path << " is missing";
  TPEResourceModule m;
  m.LoadFromFile(ToU16(path));
  ASSERT_NE(m.GetSectionByName("/4"), nullptr);
  // The long names themselves are in the string table: /4 is ".eh_frame".
  ASSERT_GT(m.StringTableCount(), 0);
  EXPECT_EQ(m.StringTableEntry(0), ".eh_frame");
  bool namedSymbol = false;
  for (int i = 0; i < m.SymbolCount(); ++i) namedSymbol = namedSymbol || m.Symbol(i)->Name() == "_main";
  EXPECT_TRUE(namedSymbol);
}

}  // namespace
}  // namespace tolvane::test
