#include "PEStructures.h"

#include <algorithm>

namespace tolvane {

IMAGE_DOS_HEADER IMAGE_DOS_HEADER::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kDosHeaderSize, "DOS header");
  IMAGE_DOS_HEADER h{};
  h.e_magic = b.u16(0);
  h.e_cblp = b.u16(2);
  h.e_cp = b.u16(4);
  h.e_crlc = b.u16(6);
  h.e_cparhdr = b.u16(8);
  h.e_minalloc = b.u16(10);
  h.e_maxalloc = b.u16(12);
  h.e_ss = b.u16(14);
  h.e_sp = b.u16(16);
  h.e_csum = b.u16(18);
  h.e_ip = b.u16(20);
  h.e_cs = b.u16(22);
  h.e_lfarlc = b.u16(24);
  h.e_ovno = b.u16(26);
  for (size_t i = 0; i < h.e_res.size(); ++i) h.e_res[i] = b.u16(28 + 2 * i);
  h.e_oemid = b.u16(36);
  h.e_oeminfo = b.u16(38);
  for (size_t i = 0; i < h.e_res2.size(); ++i) h.e_res2[i] = b.u16(40 + 2 * i);
  h.e_lfanew = b.u32(60);
  return h;
}

void IMAGE_DOS_HEADER::Encode(std::vector<uint8_t>& out) const {
  ByteWriter w(out);
  w.u16(e_magic);
  w.u16(e_cblp);
  w.u16(e_cp);
  w.u16(e_crlc);
  w.u16(e_cparhdr);
  w.u16(e_minalloc);
  w.u16(e_maxalloc);
  w.u16(e_ss);
  w.u16(e_sp);
  w.u16(e_csum);
  w.u16(e_ip);
  w.u16(e_cs);
  w.u16(e_lfarlc);
  w.u16(e_ovno);
  for (uint16_t v : e_res) w.u16(v);
  w.u16(e_oemid);
  w.u16(e_oeminfo);
  for (uint16_t v : e_res2) w.u16(v);
  w.u32(e_lfanew);
}

IMAGE_FILE_HEADER IMAGE_FILE_HEADER::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kFileHeaderSize, "COFF header");
  IMAGE_FILE_HEADER h;
  h.Machine = b.u16(0);
  h.NumberOfSections = b.u16(2);
  h.TimeDateStamp = b.u32(4);
  h.PointerToSymbolTable = b.u32(8);
  h.NumberOfSymbols = b.u32(12);
  h.SizeOfOptionalHeader = b.u16(16);
  h.Characteristics = b.u16(18);
  return h;
}

void IMAGE_FILE_HEADER::Encode(std::vector<uint8_t>& out) const {
  ByteWriter w(out);
  w.u16(Machine);
  w.u16(NumberOfSections);
  w.u32(TimeDateStamp);
  w.u32(PointerToSymbolTable);
  w.u32(NumberOfSymbols);
  w.u16(SizeOfOptionalHeader);
  w.u16(Characteristics);
}

IMAGE_OPTIONAL_HEADER32 IMAGE_OPTIONAL_HEADER32::Decode(ByteView block) {
  // A shorter block reads as if the missing bytes were zero.
  std::array<uint8_t, kOptionalHeaderSize> bytes{};
  size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), bytes.size()));
  if (n > 0) std::copy(block.data(), block.data() + n, bytes.begin());
  ByteView b(bytes.data(), bytes.size());

  IMAGE_OPTIONAL_HEADER32 h;
  h.Magic = b.u16(0);
  h.MajorLinkerVersion = b.u8(2);
  h.MinorLinkerVersion = b.u8(3);
  h.SizeOfCode = b.u32(4);
  h.SizeOfInitializedData = b.u32(8);
  h.SizeOfUninitializedData = b.u32(12);
  h.AddressOfEntryPoint = b.u32(16);
  h.BaseOfCode = b.u32(20);
  h.BaseOfData = b.u32(24);
  h.ImageBase = b.u32(28);
  h.SectionAlignment = b.u32(32);
  h.FileAlignment = b.u32(36);
  h.MajorOperatingSystemVersion = b.u16(40);
  h.MinorOperatingSystemVersion = b.u16(42);
  h.MajorImageVersion = b.u16(44);
  h.MinorImageVersion = b.u16(46);
  h.MajorSubsystemVersion = b.u16(48);
  h.MinorSubsystemVersion = b.u16(50);
  h.Win32VersionValue = b.u32(52);
  h.SizeOfImage = b.u32(56);
  h.SizeOfHeaders = b.u32(60);
  h.CheckSum = b.u32(64);
  h.Subsystem = b.u16(68);
  h.DllCharacteristics = b.u16(70);
  h.SizeOfStackReserve = b.u32(72);
  h.SizeOfStackCommit = b.u32(76);
  h.SizeOfHeapReserve = b.u32(80);
  h.SizeOfHeapCommit = b.u32(84);
  h.LoaderFlags = b.u32(88);
  h.NumberOfRvaAndSizes = b.u32(92);
  for (size_t i = 0; i < h.DataDirectory.size(); ++i) {
    h.DataDirectory[i].VirtualAddress = b.u32(kOptionalHeaderFixedSize + kDataDirectorySize * i);
    h.DataDirectory[i].Size = b.u32(kOptionalHeaderFixedSize + kDataDirectorySize * i + 4);
  }
  return h;
}

void IMAGE_OPTIONAL_HEADER32::EncodeFixedFields(uint8_t* block) const {
  std::vector<uint8_t> out;
  out.reserve(kOptionalHeaderFixedSize);
  ByteWriter w(out);
  w.u16(Magic);
  w.u8(MajorLinkerVersion);
  w.u8(MinorLinkerVersion);
  w.u32(SizeOfCode);
  w.u32(SizeOfInitializedData);
  w.u32(SizeOfUninitializedData);
  w.u32(AddressOfEntryPoint);
  w.u32(BaseOfCode);
  w.u32(BaseOfData);
  w.u32(ImageBase);
  w.u32(SectionAlignment);
  w.u32(FileAlignment);
  w.u16(MajorOperatingSystemVersion);
  w.u16(MinorOperatingSystemVersion);
  w.u16(MajorImageVersion);
  w.u16(MinorImageVersion);
  w.u16(MajorSubsystemVersion);
  w.u16(MinorSubsystemVersion);
  w.u32(Win32VersionValue);
  w.u32(SizeOfImage);
  w.u32(SizeOfHeaders);
  w.u32(CheckSum);
  w.u16(Subsystem);
  w.u16(DllCharacteristics);
  w.u32(SizeOfStackReserve);
  w.u32(SizeOfStackCommit);
  w.u32(SizeOfHeapReserve);
  w.u32(SizeOfHeapCommit);
  w.u32(LoaderFlags);
  w.u32(NumberOfRvaAndSizes);
  std::copy(out.begin(), out.end(), block);
}

IMAGE_OPTIONAL_HEADER64 IMAGE_OPTIONAL_HEADER64::Decode(ByteView block) {
  // A shorter block reads as if the missing bytes were zero.
  std::array<uint8_t, kOptionalHeader64FixedSize + kStandardDataDirectories * kDataDirectorySize> bytes{};
  size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), bytes.size()));
  if (n > 0) std::copy(block.data(), block.data() + n, bytes.begin());
  ByteView b(bytes.data(), bytes.size());

  IMAGE_OPTIONAL_HEADER64 h;
  h.Magic = b.u16(0);
  h.MajorLinkerVersion = b.u8(2);
  h.MinorLinkerVersion = b.u8(3);
  h.SizeOfCode = b.u32(4);
  h.SizeOfInitializedData = b.u32(8);
  h.SizeOfUninitializedData = b.u32(12);
  h.AddressOfEntryPoint = b.u32(16);
  h.BaseOfCode = b.u32(20);
  h.ImageBase = b.u64(24);
  h.SectionAlignment = b.u32(32);
  h.FileAlignment = b.u32(36);
  h.MajorOperatingSystemVersion = b.u16(40);
  h.MinorOperatingSystemVersion = b.u16(42);
  h.MajorImageVersion = b.u16(44);
  h.MinorImageVersion = b.u16(46);
  h.MajorSubsystemVersion = b.u16(48);
  h.MinorSubsystemVersion = b.u16(50);
  h.Win32VersionValue = b.u32(52);
  h.SizeOfImage = b.u32(56);
  h.SizeOfHeaders = b.u32(60);
  h.CheckSum = b.u32(64);
  h.Subsystem = b.u16(68);
  h.DllCharacteristics = b.u16(70);
  h.SizeOfStackReserve = b.u64(72);
  h.SizeOfStackCommit = b.u64(80);
  h.SizeOfHeapReserve = b.u64(88);
  h.SizeOfHeapCommit = b.u64(96);
  h.LoaderFlags = b.u32(104);
  h.NumberOfRvaAndSizes = b.u32(108);
  for (size_t i = 0; i < h.DataDirectory.size(); ++i) {
    h.DataDirectory[i].VirtualAddress = b.u32(kOptionalHeader64FixedSize + kDataDirectorySize * i);
    h.DataDirectory[i].Size = b.u32(kOptionalHeader64FixedSize + kDataDirectorySize * i + 4);
  }
  return h;
}

void IMAGE_OPTIONAL_HEADER64::EncodeFixedFields(uint8_t* block) const {
  std::vector<uint8_t> out;
  out.reserve(kOptionalHeader64FixedSize);
  ByteWriter w(out);
  w.u16(Magic);
  w.u8(MajorLinkerVersion);
  w.u8(MinorLinkerVersion);
  w.u32(SizeOfCode);
  w.u32(SizeOfInitializedData);
  w.u32(SizeOfUninitializedData);
  w.u32(AddressOfEntryPoint);
  w.u32(BaseOfCode);
  w.u64(ImageBase);
  w.u32(SectionAlignment);
  w.u32(FileAlignment);
  w.u16(MajorOperatingSystemVersion);
  w.u16(MinorOperatingSystemVersion);
  w.u16(MajorImageVersion);
  w.u16(MinorImageVersion);
  w.u16(MajorSubsystemVersion);
  w.u16(MinorSubsystemVersion);
  w.u32(Win32VersionValue);
  w.u32(SizeOfImage);
  w.u32(SizeOfHeaders);
  w.u32(CheckSum);
  w.u16(Subsystem);
  w.u16(DllCharacteristics);
  w.u64(SizeOfStackReserve);
  w.u64(SizeOfStackCommit);
  w.u64(SizeOfHeapReserve);
  w.u64(SizeOfHeapCommit);
  w.u32(LoaderFlags);
  w.u32(NumberOfRvaAndSizes);
  if (out.size() != kOptionalHeader64FixedSize)
    throw Exception(u"Internal error: the optional header was not its planned size");
  std::copy(out.begin(), out.end(), block);
}

TOptionalHeader TOptionalHeader::Decode(ByteView block) {
  if (block.has(0, 2) && block.u16(0) == kPe32PlusMagic) return TOptionalHeader(IMAGE_OPTIONAL_HEADER64::Decode(block));
  return TOptionalHeader(IMAGE_OPTIONAL_HEADER32::Decode(block));
}

void TOptionalHeader::EncodeFixedFields(uint8_t* block) const {
  Visit([block](const auto& h) { h.EncodeFixedFields(block); });
}

IMAGE_SECTION_HEADER IMAGE_SECTION_HEADER::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSectionHeaderSize, "Section header");
  IMAGE_SECTION_HEADER h;
  for (size_t i = 0; i < h.Name.size(); ++i) h.Name[i] = b.u8(i);
  h.VirtualSize = b.u32(8);
  h.VirtualAddress = b.u32(12);
  h.SizeOfRawData = b.u32(16);
  h.PointerToRawData = b.u32(20);
  h.PointerToRelocations = b.u32(24);
  h.PointerToLinenumbers = b.u32(28);
  h.NumberOfRelocations = b.u16(32);
  h.NumberOfLinenumbers = b.u16(34);
  h.Characteristics = b.u32(36);
  return h;
}

void IMAGE_SECTION_HEADER::Encode(std::vector<uint8_t>& out) const {
  ByteWriter w(out);
  w.bytes(Name.data(), Name.size());
  w.u32(VirtualSize);
  w.u32(VirtualAddress);
  w.u32(SizeOfRawData);
  w.u32(PointerToRawData);
  w.u32(PointerToRelocations);
  w.u32(PointerToLinenumbers);
  w.u16(NumberOfRelocations);
  w.u16(NumberOfLinenumbers);
  w.u32(Characteristics);
}

TSectionReloc TSectionReloc::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kRelocationSize, "Relocation");
  TSectionReloc r;
  r.virtualAddress = b.u32(0);
  r.symbolTableIndex = b.u32(4);
  r._type = b.u16(8);
  return r;
}

IMAGE_SYMBOL IMAGE_SYMBOL::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSymbolSize, "Symbol");
  IMAGE_SYMBOL s;
  for (size_t i = 0; i < s.ShortName.size(); ++i) s.ShortName[i] = b.u8(i);
  s.Value = b.u32(8);
  s.SectionNumber = b.u16(12);
  s.Type = b.u16(14);
  s.StorageClass = b.u8(16);
  s.NumberOfAuxSymbols = b.u8(17);
  return s;
}

TImageImportDescriptor TImageImportDescriptor::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Import descriptor");
  TImageImportDescriptor d;
  d.Characteristics = b.u32(0);
  d.TimeDateStamp = b.u32(4);
  d.ForwarderChain = b.u32(8);
  d.Name = b.u32(12);
  d.FirstThunk = b.u32(16);
  return d;
}

IMAGE_DEBUG_DIRECTORY IMAGE_DEBUG_DIRECTORY::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Debug directory");
  IMAGE_DEBUG_DIRECTORY d;
  d.Characteristics = b.u32(0);
  d.TimeDateStamp = b.u32(4);
  d.MajorVersion = b.u16(8);
  d.MinorVersion = b.u16(10);
  d.Type = b.u32(12);
  d.SizeOfData = b.u32(16);
  d.AddressOfRawData = b.u32(20);
  d.PointerToRawData = b.u32(24);
  return d;
}

void IMAGE_DEBUG_DIRECTORY::Encode(FixedByteWriter& out, uint64_t at) const {
  out.u32(at, Characteristics);
  out.u32(at + 4, TimeDateStamp);
  out.u16(at + 8, MajorVersion);
  out.u16(at + 10, MinorVersion);
  out.u32(at + 12, Type);
  out.u32(at + 16, SizeOfData);
  out.u32(at + 20, AddressOfRawData);
  out.u32(at + 24, PointerToRawData);
}

IMAGE_EXPORT_DIRECTORY IMAGE_EXPORT_DIRECTORY::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Export directory");
  IMAGE_EXPORT_DIRECTORY d;
  d.Characteristics = b.u32(0);
  d.TimeDateStamp = b.u32(4);
  d.MajorVersion = b.u16(8);
  d.MinorVersion = b.u16(10);
  d.Name = b.u32(12);
  d.Base = b.u32(16);
  d.NumberOfFunctions = b.u32(20);
  d.NumberOfNames = b.u32(24);
  d.AddressOfFunctions = b.u32(28);
  d.AddressOfNames = b.u32(32);
  d.AddressOfNameOrdinals = b.u32(36);
  return d;
}

IMAGE_RESOURCE_DIRECTORY IMAGE_RESOURCE_DIRECTORY::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Resource directory table");
  IMAGE_RESOURCE_DIRECTORY d;
  d.Characteristics = b.u32(0);
  d.TimeDateStamp = b.u32(4);
  d.MajorVersion = b.u16(8);
  d.MinorVersion = b.u16(10);
  d.NumberOfNamedEntries = b.u16(12);
  d.NumberOfIdEntries = b.u16(14);
  return d;
}

void IMAGE_RESOURCE_DIRECTORY::Encode(FixedByteWriter& out, uint64_t at) const {
  out.u32(at, Characteristics);
  out.u32(at + 4, TimeDateStamp);
  out.u16(at + 8, MajorVersion);
  out.u16(at + 10, MinorVersion);
  out.u16(at + 12, NumberOfNamedEntries);
  out.u16(at + 14, NumberOfIdEntries);
}

IMAGE_RESOURCE_DIRECTORY_ENTRY IMAGE_RESOURCE_DIRECTORY_ENTRY::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Resource directory entry");
  IMAGE_RESOURCE_DIRECTORY_ENTRY e;
  e.Name = b.u32(0);
  e.OffsetToData = b.u32(4);
  return e;
}

void IMAGE_RESOURCE_DIRECTORY_ENTRY::Encode(FixedByteWriter& out, uint64_t at) const {
  out.u32(at, Name);
  out.u32(at + 4, OffsetToData);
}

IMAGE_RESOURCE_DATA_ENTRY IMAGE_RESOURCE_DATA_ENTRY::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Resource data entry");
  IMAGE_RESOURCE_DATA_ENTRY e;
  e.OffsetToData = b.u32(0);
  e.Size = b.u32(4);
  e.CodePage = b.u32(8);
  e.Reserved = b.u32(12);
  return e;
}

void IMAGE_RESOURCE_DATA_ENTRY::Encode(FixedByteWriter& out, uint64_t at) const {
  out.u32(at, OffsetToData);
  out.u32(at + 4, Size);
  out.u32(at + 8, CodePage);
  out.u32(at + 12, Reserved);
}

IMAGE_BASE_RELOCATION IMAGE_BASE_RELOCATION::Decode(ByteView bytes) {
  ByteView b = bytes.sub(0, kSize, "Base relocation block");
  IMAGE_BASE_RELOCATION r;
  r.VirtualAddress = b.u32(0);
  r.SizeOfBlock = b.u32(4);
  return r;
}

void IMAGE_BASE_RELOCATION::Encode(std::vector<uint8_t>& out) const {
  ByteWriter w(out);
  w.u32(VirtualAddress);
  w.u32(SizeOfBlock);
}

}  // namespace tolvane
