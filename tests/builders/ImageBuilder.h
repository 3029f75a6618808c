// PE32 images built in memory, for tests: the ordinary ones and the ones no linker
// makes (R < V, V = 0, comment blocks, few data directories, odd resource
// directories, truncations, offsets outside the file).
//
//   using namespace tolvane::test;
//   ImageBuilder b;
//   b.AddSection(Section(".text", Fill(100, 0xCC), kCode));
//   b.AddSection(Section(".bss").VirtualSize(4096));
//   ResourceBlob rsrc = b.AddResourceSection(0x3000, {{ResKey::Id(10), ResKey::Name(u"CONFIG"), 0x409, {1, 2, 3}}});
//   BuiltImage image = b.Build();
//   image.PutU32(image.layout.DataDirectory(2) + 4, 0);   // then patch anything
//
// What Build() writes, in file order:
//   DOS header (64 bytes; e_lfanew = 64 + stub length), DOS stub, "PE\0\0", COFF
//   header, optional header (96 bytes + 8 per data directory, or the size set with
//   SizeOfOptionalHeader), section table, comment block, section data, relocations,
//   symbol table, string table, appended bytes.
// Section data starts at the next multiple of the file alignment (default 512; use
// FileAlignment(1) to pack it) unless a section gives its own PointerToRawData, and
// is zero-padded to SizeOfRawData (default: the data's length rounded up to the file
// alignment). The optional header's sizes, bases and SizeOfImage are computed from
// the sections, so a built image is a plausible input for the writer too.
//
// Fields are written one at a time here, not through the reader's structure encoders,
// so a mistake in those cannot hide itself in both halves of a test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/ByteView.h"

namespace tolvane::test {

using Bytes = std::vector<uint8_t>;

// n bytes of value v.
inline Bytes Fill(size_t n, uint8_t v) { return Bytes(n, v); }
// The bytes of a text, without a terminating zero.
Bytes TextBytes(const std::string& text);

constexpr uint32_t kCode = 0x60000020;             // code, execute, read
constexpr uint32_t kInitializedData = 0xC0000040;  // initialized data, read, write
constexpr uint32_t kReadOnlyData = 0x40000040;     // initialized data, read
constexpr uint32_t kUninitializedData = 0xC0000080;
constexpr uint32_t kDiscardableData = 0x42000040;

// Offsets of fields inside the structures, for patching a built image.
namespace field {
constexpr uint32_t kDosLfanew = 60;
constexpr uint32_t kCoffNumberOfSections = 2;
constexpr uint32_t kCoffPointerToSymbolTable = 8;
constexpr uint32_t kCoffNumberOfSymbols = 12;
constexpr uint32_t kCoffSizeOfOptionalHeader = 16;
constexpr uint32_t kOptMagic = 0;
constexpr uint32_t kOptAddressOfEntryPoint = 16;
constexpr uint32_t kOptFileAlignment = 36;
constexpr uint32_t kOptSizeOfImage = 56;
constexpr uint32_t kOptSizeOfHeaders = 60;
constexpr uint32_t kOptCheckSum = 64;
constexpr uint32_t kOptNumberOfRvaAndSizes = 92;
constexpr uint32_t kSecVirtualSize = 8;
constexpr uint32_t kSecVirtualAddress = 12;
constexpr uint32_t kSecSizeOfRawData = 16;
constexpr uint32_t kSecPointerToRawData = 20;
constexpr uint32_t kSecPointerToRelocations = 24;
constexpr uint32_t kSecNumberOfRelocations = 32;
constexpr uint32_t kSecCharacteristics = 36;
}  // namespace field

struct RelocSpec {
  uint32_t virtualAddress = 0;
  uint32_t symbolTableIndex = 0;
  uint16_t type = 0;
};

// A section; set what matters with the chained setters:
//   Section(".bss").VirtualSize(4096), Section(".text", code, kCode).RawSize(512)
struct SectionSpec {
  std::string name;  // the first 8 bytes are written; 8 leave no zero
  Bytes data;        // written to the file
  uint32_t characteristics = kInitializedData;
  std::optional<uint32_t> virtualAddress;    // default: after the previous section, section-aligned
  std::optional<uint32_t> virtualSize;       // default: the data's length (0 stays 0 when given)
  std::optional<uint32_t> sizeOfRawData;     // default: data length rounded up to the file alignment
  std::optional<uint32_t> pointerToRawData;  // default: laid out; 0 for a section without data
  std::vector<RelocSpec> relocations;        // written after all section data

  SectionSpec& VirtualAddress(uint32_t v) {
    virtualAddress = v;
    return *this;
  }
  SectionSpec& VirtualSize(uint32_t v) {
    virtualSize = v;
    return *this;
  }
  SectionSpec& RawSize(uint32_t v) {
    sizeOfRawData = v;
    return *this;
  }
  SectionSpec& RawPointer(uint32_t v) {
    pointerToRawData = v;
    return *this;
  }
  SectionSpec& Relocations(std::vector<RelocSpec> v) {
    relocations = std::move(v);
    return *this;
  }
};

inline SectionSpec Section(std::string name, Bytes data = {}, uint32_t characteristics = kInitializedData) {
  SectionSpec s;
  s.name = std::move(name);
  s.data = std::move(data);
  s.characteristics = characteristics;
  return s;
}

// A symbol: Symbol("_main").Value(0x10).SectionNumber(1).Aux(2).
struct SymbolSpec {
  std::string name;  // longer than 8 bytes: written to the string table
  uint32_t value = 0;
  uint16_t sectionNumber = 0;
  uint16_t type = 0;
  uint8_t storageClass = 2;  // external
  uint8_t auxCount = 0;      // that many zero auxiliary records follow

  SymbolSpec& Value(uint32_t v) {
    value = v;
    return *this;
  }
  SymbolSpec& SectionNumber(uint16_t v) {
    sectionNumber = v;
    return *this;
  }
  SymbolSpec& Type(uint16_t v) {
    type = v;
    return *this;
  }
  SymbolSpec& StorageClass(uint8_t v) {
    storageClass = v;
    return *this;
  }
  SymbolSpec& Aux(uint8_t v) {
    auxCount = v;
    return *this;
  }
};

inline SymbolSpec Symbol(std::string name) {
  SymbolSpec s;
  s.name = std::move(name);
  return s;
}

// Where Build() put things, as file offsets.
struct ImageLayout {
  uint32_t peOffset = 0;        // e_lfanew, the "PE\0\0" signature
  uint32_t coffHeader = 0;      // peOffset + 4
  uint32_t optionalHeader = 0;  // peOffset + 24
  uint32_t fixedFields = 96;    // the optional header's fields before its data directories (PE32+: 112)
  uint32_t sectionTable = 0;
  uint32_t headersEnd = 0;            // just past the section table
  uint32_t commentBlock = 0;          // = headersEnd
  std::vector<uint32_t> sectionData;  // PointerToRawData of each section, in table order
  uint32_t symbolTable = 0;           // 0 without symbols
  uint32_t stringTable = 0;           // 0 without symbols
  uint32_t appended = 0;              // where the appended bytes begin
  uint32_t fileSize = 0;

  uint32_t DataDirectory(int i) const { return optionalHeader + fixedFields + 8 * static_cast<uint32_t>(i); }
  uint32_t NumberOfRvaAndSizes() const { return optionalHeader + fixedFields - 4; }
  uint32_t SectionHeader(int i) const { return sectionTable + 40 * static_cast<uint32_t>(i); }
  uint32_t Symbol(int k) const { return symbolTable + 18 * static_cast<uint32_t>(k); }
};

struct BuiltImage {
  Bytes bytes;
  ImageLayout layout;

  ByteView View() const { return ByteView(bytes.data(), bytes.size()); }
  // The first n bytes.
  Bytes Truncated(size_t n) const { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)); }
  void PutU8(uint32_t offset, uint8_t v);
  void PutU16(uint32_t offset, uint16_t v);
  void PutU32(uint32_t offset, uint32_t v);
  uint16_t GetU16(uint32_t offset) const;
  uint32_t GetU32(uint32_t offset) const;
};

// ---- resource directories ----

// A type or name key: an ID or a string.
struct ResKey {
  bool named = false;
  uint32_t id = 0;
  std::u16string name;

  static ResKey Id(uint32_t id) { return ResKey{false, id, {}}; }
  static ResKey Name(std::u16string name) { return ResKey{true, 0, std::move(name)}; }
};

struct ResourceSpec {
  ResourceSpec(ResKey type_, ResKey name_, uint32_t language_, Bytes data_, uint32_t codePage_ = 0)
      : type(std::move(type_)),
        name(std::move(name_)),
        language(language_),
        data(std::move(data_)),
        codePage(codePage_) {}
  ResKey type;
  ResKey name;
  uint32_t language;
  Bytes data;
  uint32_t codePage;
};

// Written into the header of every table of a built directory.
struct ResourceTableInfo {
  uint32_t characteristics = 0;
  uint32_t timeDateStamp = 0;
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;

  ResourceTableInfo& Characteristics(uint32_t v) {
    characteristics = v;
    return *this;
  }
  ResourceTableInfo& Version(uint16_t major, uint16_t minor) {
    majorVersion = major;
    minorVersion = minor;
    return *this;
  }
};

// A resource directory and where its parts are, as offsets from its start.
struct ResourceBlob {
  struct Offsets {
    uint32_t typeEntry;  // the entry in the root table
    uint32_t nameTable;
    uint32_t nameEntry;
    uint32_t languageTable;
    uint32_t languageEntry;
    uint32_t dataEntry;
    uint32_t data;
  };
  Bytes bytes;
  std::vector<Offsets> resources;  // in the order the specs were given
  std::vector<uint32_t> strings;   // every counted name string written

  void PutU16(uint32_t offset, uint16_t v);
  void PutU32(uint32_t offset, uint32_t v);
};

// A directory of type, name and language tables laid out as linkers do: tables,
// then data entries, then names, then the data (each 8-aligned). Keys keep the
// order they are first met in, named ones first; data entries hold RVAs counted
// from sectionVirtualAddress, so the blob belongs at the start of that section.
ResourceBlob BuildResourceDirectory(const std::vector<ResourceSpec>& resources, uint32_t sectionVirtualAddress,
                                    const ResourceTableInfo& info = {});

// Pieces for hand-made directories; offsets from the blob's start, which grows as needed.
void WriteTable(Bytes& blob, uint32_t offset, uint16_t namedEntries, uint16_t idEntries,
                const ResourceTableInfo& info = {});
// Entry index of the table at tableOffset. Subdirectories need the 0x80000000 bit in offsetToData.
void WriteEntry(Bytes& blob, uint32_t tableOffset, uint32_t index, uint32_t name, uint32_t offsetToData);
void WriteDataEntry(Bytes& blob, uint32_t offset, uint32_t rva, uint32_t size, uint32_t codePage = 0);
void WriteCountedString(Bytes& blob, uint32_t offset, const std::u16string& text);

// ---- export and import directories ----

struct ExportName {
  std::string name;
  uint16_t ordinalIndex;  // index into the address table (the ordinal less the base)
};

// An export directory at the start of a section at sectionVirtualAddress, with
// functionCount address-table entries and the names in the order given.
Bytes BuildExportDirectory(uint32_t sectionVirtualAddress, const std::string& dllName, uint32_t base,
                           uint32_t functionCount, const std::vector<ExportName>& names);

struct ImportSpec {
  std::string dll;
  std::vector<std::string> functions;
};

// Import descriptors (ending with an all-zero one) at the start of a section at
// sectionVirtualAddress, then lookup tables, hint/name entries and DLL names.
// The directory's size is 20 * (imports + 1).
Bytes BuildImportDirectory(uint32_t sectionVirtualAddress, const std::vector<ImportSpec>& imports);

// ---- the image ----

class ImageBuilder {
public:
  ImageBuilder();

  ImageBuilder& DosStub(Bytes stub);  // default: 64 bytes
  // default 0x10B (PE32); 0x20B (PE32+) writes the PE32+ optional header, for an AMD64 machine
  ImageBuilder& Magic(uint16_t magic);
  ImageBuilder& Dll(bool dll = true);
  ImageBuilder& DataDirectories(uint32_t count);      // NumberOfRvaAndSizes, default 16
  ImageBuilder& SizeOfOptionalHeader(uint16_t size);  // default 96 (PE32+: 112) + 8 * DataDirectories
  ImageBuilder& DataDirectory(int index, uint32_t virtualAddress, uint32_t size);
  ImageBuilder& FileAlignment(uint32_t alignment);     // default 512
  ImageBuilder& SectionAlignment(uint32_t alignment);  // default 4096
  ImageBuilder& ImageBase(uint64_t base);              // default 0x400000 (PE32+: 0x140000000)
  ImageBuilder& TimeDateStamp(uint32_t stamp);
  ImageBuilder& CommentBlock(Bytes bytes);  // right after the section table
  ImageBuilder& Append(Bytes bytes);        // after everything else
  ImageBuilder& AddSymbol(SymbolSpec symbol);
  ImageBuilder& AddString(std::string text);  // an extra string-table entry no symbol names
  // Writes the symbol and string tables even without symbols.
  ImageBuilder& WithSymbolTable();
  ImageBuilder& StringTableLength(uint32_t length);  // the length field as given

  // Adds a section; gives its index.
  int AddSection(SectionSpec section);
  SectionSpec& Section(int index) { return fSections.at(static_cast<size_t>(index)); }
  // A ".rsrc" section at virtualAddress holding a built directory, and data directory 2 for it.
  ResourceBlob AddResourceSection(uint32_t virtualAddress, const std::vector<ResourceSpec>& resources,
                                  const ResourceTableInfo& info = {});
  // A section at virtualAddress holding blob, named name, with data directory entry for it.
  int AddDirectorySection(const std::string& name, uint32_t virtualAddress, Bytes blob, int directoryEntry,
                          uint32_t characteristics = kInitializedData);

  BuiltImage Build() const;

private:
  Bytes fDosStub;
  uint16_t fMagic = 0x10B;
  bool fDll = false;
  uint32_t fDataDirectories = 16;
  std::optional<uint16_t> fSizeOfOptionalHeader;
  std::vector<std::pair<uint32_t, uint32_t>> fDirectoryValues;  // by index
  uint32_t fFileAlignment = 512;
  uint32_t fSectionAlignment = 4096;
  std::optional<uint64_t> fImageBase;
  uint32_t fTimeDateStamp = 0;
  Bytes fCommentBlock;
  Bytes fAppended;
  std::vector<SymbolSpec> fSymbols;
  std::vector<std::string> fExtraStrings;
  bool fWithSymbolTable = false;
  std::optional<uint32_t> fStringTableLength;
  std::vector<SectionSpec> fSections;
};

}  // namespace tolvane::test
