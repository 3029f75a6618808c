// Writes the template Empty.dll that `-s` merges resources into: a resource-only
// PE32 DLL with no code and no entry point, whose one section .rsrc holds an empty
// resource directory that data directory entry 2 points at.
#include <cstdio>
#include <vector>

#include "PEStructures.h"
#include "platform/Checksum.h"
#include "platform/CodePages.h"
#include "platform/Files.h"

using namespace tolvane;

namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kImageBase = 0x10000000;
constexpr uint32_t kRootTableSize = 16;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kExecutableImage = 0x0002, k32BitMachine = 0x0100;
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint16_t kNxCompatible = 0x0100, kNoSeh = 0x0400;

std::vector<uint8_t> BuildTemplate() {
  std::vector<uint8_t> image;
  ByteWriter out(image);

  IMAGE_DOS_HEADER dos{};
  dos.e_magic = kDosSignature;
  dos.e_lfanew = kDosHeaderSize;
  dos.Encode(image);

  out.u32(kPeSignature);
  IMAGE_FILE_HEADER coff;
  coff.Machine = kMachineI386;
  coff.NumberOfSections = 1;
  coff.SizeOfOptionalHeader = kOptionalHeaderSize;
  coff.Characteristics = kExecutableImage | k32BitMachine | IMAGE_FILE_DLL;
  coff.Encode(image);

  const uint32_t headersEnd = kDosHeaderSize + 4 + kFileHeaderSize + kOptionalHeaderSize + kSectionHeaderSize;
  const uint32_t sizeOfHeaders = (headersEnd + kFileAlignment - 1) & ~(kFileAlignment - 1);
  IMAGE_OPTIONAL_HEADER32 oh;
  oh.Magic = kPe32Magic;
  oh.SizeOfInitializedData = kFileAlignment;
  oh.BaseOfData = kSectionAlignment;
  oh.ImageBase = kImageBase;
  oh.SectionAlignment = kSectionAlignment;
  oh.FileAlignment = kFileAlignment;
  oh.MajorOperatingSystemVersion = 4;
  oh.MajorSubsystemVersion = 4;
  oh.SizeOfImage = 2 * kSectionAlignment;
  oh.SizeOfHeaders = sizeOfHeaders;
  oh.Subsystem = kSubsystemWindowsGui;
  oh.DllCharacteristics = kNxCompatible | kNoSeh;
  oh.SizeOfStackReserve = 0x100000;
  oh.SizeOfStackCommit = 0x1000;
  oh.SizeOfHeapReserve = 0x100000;
  oh.SizeOfHeapCommit = 0x1000;
  oh.NumberOfRvaAndSizes = kStandardDataDirectories;
  std::vector<uint8_t> optional(kOptionalHeaderSize, 0);
  oh.EncodeFixedFields(optional.data());
  putU32LE(optional.data() + kOptionalHeaderFixedSize + IMAGE_DIRECTORY_ENTRY_RESOURCE * kDataDirectorySize,
           kSectionAlignment);
  putU32LE(optional.data() + kOptionalHeaderFixedSize + IMAGE_DIRECTORY_ENTRY_RESOURCE * kDataDirectorySize + 4,
           kRootTableSize);
  out.bytes(optional.data(), optional.size());

  IMAGE_SECTION_HEADER rsrc;
  const char name[] = ".rsrc";
  std::copy(name, name + 5, rsrc.Name.begin());
  rsrc.VirtualSize = kRootTableSize;
  rsrc.VirtualAddress = kSectionAlignment;
  rsrc.SizeOfRawData = kFileAlignment;
  rsrc.PointerToRawData = sizeOfHeaders;
  rsrc.Characteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;
  rsrc.Encode(image);

  out.zeros(sizeOfHeaders - image.size());
  out.zeros(kFileAlignment);  // the empty root table: all zero

  uint32_t stored, computed;
  if (platform::CheckSumMappedFile(image.data(), image.size(), stored, computed))
    putU32LE(image.data() + kDosHeaderSize + 4 + kFileHeaderSize + kCheckSumFieldOffset, computed);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  try {
    std::vector<uint8_t> image = BuildTemplate();
    platform::TFileStream file(platform::Utf8ToWide(argv[1]), platform::TFileMode::fmCreate);
    file.WriteBuffer(image);
    file.Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
