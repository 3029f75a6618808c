// The PE/COFF on-disk structures, declared once. Each is a plain struct with one
// decode and one encode, fields in disk order, little-endian on disk whatever the host.
#pragma once

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

#include "support/ByteView.h"

namespace tolvane {

constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kPe32PlusMagic = 0x020B;
constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderFixedSize = 96;     // PE32 fields before the data directories
constexpr uint32_t kOptionalHeader64FixedSize = 112;  // PE32+ fields before the data directories
constexpr uint32_t kDataDirectorySize = 8;
constexpr uint32_t kStandardDataDirectories = 16;
constexpr uint32_t kOptionalHeaderSize = kOptionalHeaderFixedSize + kStandardDataDirectories * kDataDirectorySize;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kRelocationSize = 10;
constexpr uint32_t kSymbolSize = 18;
constexpr uint32_t kCheckSumFieldOffset = 64;  // inside the optional header

constexpr uint32_t IMAGE_SCN_CNT_CODE = 0x00000020;
constexpr uint32_t IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040;
constexpr uint32_t IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x00000080;
constexpr uint32_t IMAGE_SCN_MEM_DISCARDABLE = 0x02000000;
constexpr uint32_t IMAGE_SCN_MEM_EXECUTE = 0x20000000;
constexpr uint32_t IMAGE_SCN_MEM_READ = 0x40000000;
constexpr uint16_t IMAGE_FILE_DLL = 0x2000;
constexpr uint16_t IMAGE_FILE_MACHINE_I386 = 0x014C;

constexpr uint32_t IMAGE_DIRECTORY_ENTRY_EXPORT = 0;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_IMPORT = 1;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_RESOURCE = 2;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_SECURITY = 4;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_BASERELOC = 5;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_DEBUG = 6;

struct IMAGE_DOS_HEADER {
  uint16_t e_magic, e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip, e_cs, e_lfarlc,
      e_ovno;
  std::array<uint16_t, 4> e_res;
  uint16_t e_oemid, e_oeminfo;
  std::array<uint16_t, 10> e_res2;
  uint32_t e_lfanew;

  static IMAGE_DOS_HEADER Decode(ByteView bytes);  // needs 64 bytes
  void Encode(std::vector<uint8_t>& out) const;
};

struct IMAGE_FILE_HEADER {
  uint16_t Machine = 0;
  uint16_t NumberOfSections = 0;
  uint32_t TimeDateStamp = 0;
  uint32_t PointerToSymbolTable = 0;
  uint32_t NumberOfSymbols = 0;
  uint16_t SizeOfOptionalHeader = 0;
  uint16_t Characteristics = 0;

  static IMAGE_FILE_HEADER Decode(ByteView bytes);  // needs 20 bytes
  void Encode(std::vector<uint8_t>& out) const;
};

struct IMAGE_DATA_DIRECTORY {
  uint32_t VirtualAddress = 0;
  uint32_t Size = 0;
};

struct IMAGE_OPTIONAL_HEADER32 {
  uint16_t Magic = 0;
  uint8_t MajorLinkerVersion = 0, MinorLinkerVersion = 0;
  uint32_t SizeOfCode = 0, SizeOfInitializedData = 0, SizeOfUninitializedData = 0;
  uint32_t AddressOfEntryPoint = 0, BaseOfCode = 0, BaseOfData = 0, ImageBase = 0;
  uint32_t SectionAlignment = 0, FileAlignment = 0;
  uint16_t MajorOperatingSystemVersion = 0, MinorOperatingSystemVersion = 0;
  uint16_t MajorImageVersion = 0, MinorImageVersion = 0;
  uint16_t MajorSubsystemVersion = 0, MinorSubsystemVersion = 0;
  uint32_t Win32VersionValue = 0, SizeOfImage = 0, SizeOfHeaders = 0, CheckSum = 0;
  uint16_t Subsystem = 0, DllCharacteristics = 0;
  uint32_t SizeOfStackReserve = 0, SizeOfStackCommit = 0, SizeOfHeapReserve = 0, SizeOfHeapCommit = 0;
  uint32_t LoaderFlags = 0, NumberOfRvaAndSizes = 0;
  std::array<IMAGE_DATA_DIRECTORY, kStandardDataDirectories> DataDirectory{};

  // Decodes the first 224 bytes of a block, zero-filling what the block lacks.
  static IMAGE_OPTIONAL_HEADER32 Decode(ByteView block);
  // Writes the 96 fixed fields over the start of a block of at least 96 bytes;
  // the data directories are left alone (they are written through DataDirectory).
  void EncodeFixedFields(uint8_t* block) const;
};

// The optional header of a PE32+ image: an 8-byte ImageBase in place of BaseOfData
// and the ImageBase of PE32, and 8-byte stack and heap sizes.
struct IMAGE_OPTIONAL_HEADER64 {
  uint16_t Magic = 0;
  uint8_t MajorLinkerVersion = 0, MinorLinkerVersion = 0;
  uint32_t SizeOfCode = 0, SizeOfInitializedData = 0, SizeOfUninitializedData = 0;
  uint32_t AddressOfEntryPoint = 0, BaseOfCode = 0;
  uint64_t ImageBase = 0;
  uint32_t SectionAlignment = 0, FileAlignment = 0;
  uint16_t MajorOperatingSystemVersion = 0, MinorOperatingSystemVersion = 0;
  uint16_t MajorImageVersion = 0, MinorImageVersion = 0;
  uint16_t MajorSubsystemVersion = 0, MinorSubsystemVersion = 0;
  uint32_t Win32VersionValue = 0, SizeOfImage = 0, SizeOfHeaders = 0, CheckSum = 0;
  uint16_t Subsystem = 0, DllCharacteristics = 0;
  uint64_t SizeOfStackReserve = 0, SizeOfStackCommit = 0, SizeOfHeapReserve = 0, SizeOfHeapCommit = 0;
  uint32_t LoaderFlags = 0, NumberOfRvaAndSizes = 0;
  std::array<IMAGE_DATA_DIRECTORY, kStandardDataDirectories> DataDirectory{};

  // Decodes the first 240 bytes of a block, zero-filling what the block lacks.
  static IMAGE_OPTIONAL_HEADER64 Decode(ByteView block);
  // Writes the 112 fixed fields over the start of a block of at least 112 bytes.
  void EncodeFixedFields(uint8_t* block) const;
};

// The optional header of either layout, told apart by its Magic. The one place
// that knows where a field stands in this image's header: the reader, the layout
// and the writers ask it, and change the fields common to both through Visit.
class TOptionalHeader {
public:
  using TRecord = std::variant<IMAGE_OPTIONAL_HEADER32, IMAGE_OPTIONAL_HEADER64>;

  // The layout a Magic names, or false for any other.
  static bool IsKnownMagic(uint16_t magic) { return magic == kPe32Magic || magic == kPe32PlusMagic; }
  // The fields before the data directories, and where NumberOfRvaAndSizes stands.
  static uint32_t FixedSizeFor(uint16_t magic) {
    return magic == kPe32PlusMagic ? kOptionalHeader64FixedSize : kOptionalHeaderFixedSize;
  }
  static uint32_t NumberOfRvaAndSizesAt(uint16_t magic) { return FixedSizeFor(magic) - 4; }

  // By the block's Magic; a block of neither layout (or none) reads as PE32.
  static TOptionalHeader Decode(ByteView block);
  // The fixed fields over the start of a block of at least FixedSize() bytes.
  void EncodeFixedFields(uint8_t* block) const;

  bool IsPE32Plus() const { return std::holds_alternative<IMAGE_OPTIONAL_HEADER64>(fRecord); }
  uint32_t FixedSize() const { return IsPE32Plus() ? kOptionalHeader64FixedSize : kOptionalHeaderFixedSize; }
  const IMAGE_OPTIONAL_HEADER32& Pe32() const { return std::get<IMAGE_OPTIONAL_HEADER32>(fRecord); }
  const IMAGE_OPTIONAL_HEADER64& Pe32Plus() const { return std::get<IMAGE_OPTIONAL_HEADER64>(fRecord); }

  template <class F>
  decltype(auto) Visit(F&& f) const {
    return std::visit(std::forward<F>(f), fRecord);
  }
  template <class F>
  decltype(auto) Visit(F&& f) {
    return std::visit(std::forward<F>(f), fRecord);
  }

  uint32_t SectionAlignment() const {
    return Visit([](const auto& h) { return h.SectionAlignment; });
  }
  uint32_t FileAlignment() const {
    return Visit([](const auto& h) { return h.FileAlignment; });
  }
  uint32_t AddressOfEntryPoint() const {
    return Visit([](const auto& h) { return h.AddressOfEntryPoint; });
  }
  uint64_t ImageBase() const {
    return Visit([](const auto& h) { return uint64_t(h.ImageBase); });
  }

private:
  explicit TOptionalHeader(TRecord record) : fRecord(record) {}
  TRecord fRecord;
};

struct IMAGE_SECTION_HEADER {
  std::array<uint8_t, 8> Name{};
  uint32_t VirtualSize = 0;  // the Misc field
  uint32_t VirtualAddress = 0;
  uint32_t SizeOfRawData = 0;
  uint32_t PointerToRawData = 0;
  uint32_t PointerToRelocations = 0;
  uint32_t PointerToLinenumbers = 0;
  uint16_t NumberOfRelocations = 0;
  uint16_t NumberOfLinenumbers = 0;
  uint32_t Characteristics = 0;

  static IMAGE_SECTION_HEADER Decode(ByteView bytes);  // needs 40 bytes
  void Encode(std::vector<uint8_t>& out) const;
};

// The COFF relocation record.
struct TSectionReloc {
  uint32_t virtualAddress = 0;
  uint32_t symbolTableIndex = 0;
  uint16_t _type = 0;

  static TSectionReloc Decode(ByteView bytes);  // needs 10 bytes
};
using PSectionReloc = const TSectionReloc*;

// A record of the COFF symbol table; NumberOfAuxSymbols records of its own follow it.
struct IMAGE_SYMBOL {
  std::array<uint8_t, 8> ShortName{};  // the name, or four zero bytes and its offset in the string table
  uint32_t Value = 0;
  uint16_t SectionNumber = 0;
  uint16_t Type = 0;
  uint8_t StorageClass = 0;
  uint8_t NumberOfAuxSymbols = 0;

  static IMAGE_SYMBOL Decode(ByteView bytes);  // needs 18 bytes
  bool HasLongName() const { return getU32LE(ShortName.data()) == 0; }
  uint32_t LongNameOffset() const { return getU32LE(ShortName.data() + 4); }
};

struct TImageImportDescriptor {
  uint32_t Characteristics = 0;  // the import lookup table
  uint32_t TimeDateStamp = 0;
  uint32_t ForwarderChain = 0;
  uint32_t Name = 0;
  uint32_t FirstThunk = 0;

  static constexpr uint32_t kSize = 20;
  static TImageImportDescriptor Decode(ByteView bytes);
  bool IsZero() const {
    return Characteristics == 0 && TimeDateStamp == 0 && ForwarderChain == 0 && Name == 0 && FirstThunk == 0;
  }
};

// A record of the debug directory. The records stand in some section's data and are
// changed where they stand: Encode writes over the record's place.
struct IMAGE_DEBUG_DIRECTORY {
  uint32_t Characteristics = 0;
  uint32_t TimeDateStamp = 0;
  uint16_t MajorVersion = 0;
  uint16_t MinorVersion = 0;
  uint32_t Type = 0;
  uint32_t SizeOfData = 0;
  uint32_t AddressOfRawData = 0;
  uint32_t PointerToRawData = 0;

  static constexpr uint32_t kSize = 28;
  static IMAGE_DEBUG_DIRECTORY Decode(ByteView bytes);
  void Encode(FixedByteWriter& out, uint64_t at) const;
};

// The header of a block of base relocations: the page its fixups patch and the
// block's size, these 8 bytes included. The block's 16-bit entries follow it.
struct IMAGE_BASE_RELOCATION {
  uint32_t VirtualAddress = 0;
  uint32_t SizeOfBlock = 0;

  static constexpr uint32_t kSize = 8;
  static IMAGE_BASE_RELOCATION Decode(ByteView bytes);
  void Encode(std::vector<uint8_t>& out) const;
};

// The export directory, of which the reader uses the name and ordinal tables.
struct IMAGE_EXPORT_DIRECTORY {
  uint32_t Characteristics = 0;
  uint32_t TimeDateStamp = 0;
  uint16_t MajorVersion = 0;
  uint16_t MinorVersion = 0;
  uint32_t Name = 0;
  uint32_t Base = 0;
  uint32_t NumberOfFunctions = 0;
  uint32_t NumberOfNames = 0;
  uint32_t AddressOfFunctions = 0;
  uint32_t AddressOfNames = 0;
  uint32_t AddressOfNameOrdinals = 0;

  static constexpr uint32_t kSize = 40;
  static IMAGE_EXPORT_DIRECTORY Decode(ByteView bytes);
};

// A table of the resource directory. Its entries follow it, the named ones first.
struct IMAGE_RESOURCE_DIRECTORY {
  uint32_t Characteristics = 0;
  uint32_t TimeDateStamp = 0;
  uint16_t MajorVersion = 0;
  uint16_t MinorVersion = 0;
  uint16_t NumberOfNamedEntries = 0;
  uint16_t NumberOfIdEntries = 0;

  static constexpr uint32_t kSize = 16;
  static IMAGE_RESOURCE_DIRECTORY Decode(ByteView bytes);
  void Encode(FixedByteWriter& out, uint64_t at) const;
};

// An entry of a resource directory table: its ID or name, and the table below it or
// its data entry. Offsets count from the root table.
struct IMAGE_RESOURCE_DIRECTORY_ENTRY {
  uint32_t Name = 0;          // an ID, or kNameIsString with the offset of a counted UTF-16 name
  uint32_t OffsetToData = 0;  // kDataIsDirectory with a table's offset, or a data entry's offset

  static constexpr uint32_t kSize = 8;
  static constexpr uint32_t kNameIsString = 0x80000000u;
  static constexpr uint32_t kDataIsDirectory = 0x80000000u;
  static IMAGE_RESOURCE_DIRECTORY_ENTRY Decode(ByteView bytes);
  void Encode(FixedByteWriter& out, uint64_t at) const;

  uint32_t NameOffset() const { return Name & ~kNameIsString; }
  bool DataIsDirectory() const { return (OffsetToData & kDataIsDirectory) != 0; }
  uint32_t DirectoryOffset() const { return OffsetToData & ~kDataIsDirectory; }
};

// A resource's bytes: where they are (an RVA, whatever the field's name says), how many.
struct IMAGE_RESOURCE_DATA_ENTRY {
  uint32_t OffsetToData = 0;
  uint32_t Size = 0;
  uint32_t CodePage = 0;
  uint32_t Reserved = 0;

  static constexpr uint32_t kSize = 16;
  static IMAGE_RESOURCE_DATA_ENTRY Decode(ByteView bytes);
  void Encode(FixedByteWriter& out, uint64_t at) const;
};

}  // namespace tolvane
