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

}  // namespace tolvane
