// Reading PE32 images: the COFF layer (sections, relocations, symbols, strings) and
// the PE layer (DOS header and stub, optional header, data directories, the comment
// blocks around the section data, exports and imports). Everything read comes from
// one buffer holding the whole file, through ByteView, so no offset in the file can
// make a read leave it.
#include "unitPEFile.h"

#include <algorithm>
#include <climits>

#include "StringTable.h"
#include "platform/Files.h"

namespace tolvane {

namespace {

[[noreturn]] void RaisePE(StrId id) { throw EPEException(LoadResString(id)); }

// The string table of an image, clipped to the file; empty when there is none.
ByteView StringTableBytes(const IMAGE_FILE_HEADER& coff, ByteView image) {
  if (coff.PointerToSymbolTable == 0) return ByteView();
  uint64_t start = uint64_t(coff.PointerToSymbolTable) + uint64_t(kSymbolSize) * coff.NumberOfSymbols;
  if (!image.has(start, 4)) return ByteView();
  uint64_t length = image.u32(start);
  if (length <= 4) return ByteView();
  // Real files are sometimes cut short of what the length field promises.
  length = std::min<uint64_t>(length, image.size() - start);
  return image.sub(start, length);
}

// Real images give each section bytes of its own; some share a few. Sharing beyond
// this only multiplies what is read and written.
constexpr uint64_t kSectionBytesPerFileByte = 4;

std::string ZeroTerminated(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// A name longer than the header's 8 bytes is "/" and its offset in the string
// table, in decimal; "" for any other name, or an offset the table does not hold.
std::string LongSectionName(const std::string& headerName, ByteView strings) {
  if (headerName.size() < 2 || headerName[0] != '/') return std::string();
  uint64_t offset = 0;
  for (size_t k = 1; k < headerName.size(); ++k) {
    if (headerName[k] < '0' || headerName[k] > '9') return std::string();
    offset = offset * 10 + uint64_t(headerName[k] - '0');
  }
  if (offset < 4 || offset >= strings.size()) return std::string();
  return ZeroTerminated(strings.data() + offset, static_cast<size_t>(strings.size() - offset));
}

}  // namespace

// ---- TImageSection ----

TImageSection::TImageSection(TPEBase* AParent, EmptyTag) : fParent(AParent), fSectionHeader{} {}

TImageSection::TImageSection(TPEBase* AParent, const IMAGE_SECTION_HEADER& AHeader, const TSharedBytes& shared)
    : fParent(AParent), fSectionHeader(AHeader) {
  const ByteView image = shared.bytes;
  uint32_t rawSize = fSectionHeader.SizeOfRawData;
  uint32_t virtualSize = fSectionHeader.VirtualSize;
  uint32_t kept;
  if (rawSize < virtualSize) {
    kept = rawSize;
    fUninitializedDataSize = static_cast<int32_t>(virtualSize - rawSize);
  } else {
    if (virtualSize == 0) fSectionHeader.VirtualSize = virtualSize = rawSize;
    kept = virtualSize;  // the file alignment padding after the data is not kept
  }
  if (kept > 0) {
    if (!image.has(fSectionHeader.PointerToRawData, kept))
      throw EPEException(Format(LoadResString(StrId::SectionDataOutsideFile), {ToU16(SectionName())}));
    ByteView bytes = image.sub(fSectionHeader.PointerToRawData, kept);
    // A mapped input is viewed, not copied: most sections are written back unchanged.
    if (shared.owner)
      fRawData.AssignView(shared.owner, bytes.data(), kept);
    else
      fRawData.Write(bytes.data(), kept);
  }

  // Relocations are informational in an image; ones that are not in the file are taken as absent.
  uint64_t relocBytes = uint64_t(fSectionHeader.NumberOfRelocations) * kRelocationSize;
  if (relocBytes > 0 && image.has(fSectionHeader.PointerToRelocations, relocBytes)) {
    ByteView relocs = image.sub(fSectionHeader.PointerToRelocations, relocBytes);
    fRelocs.reserve(fSectionHeader.NumberOfRelocations);
    for (uint64_t off = 0; off < relocBytes; off += kRelocationSize)
      fRelocs.push_back(TSectionReloc::Decode(relocs.from(off)));
  }
  // The hook is this class's own here, as in any constructor; a derived section's
  // runs from its own constructor.
  Initialize();  // NOLINT(clang-analyzer-optin.cplusplus.VirtualCall)
}

std::unique_ptr<TImageSection> TImageSection::CreateEmpty(TPEBase* AParent, const std::string& AName,
                                                          uint32_t ACharacteristics, uint32_t ADirectoryEntry) {
  std::unique_ptr<TImageSection> section(new TImageSection(AParent, EmptyTag{}));
  size_t n = std::min(AName.size(), section->fSectionHeader.Name.size());
  std::copy(AName.begin(), AName.begin() + static_cast<std::ptrdiff_t>(n), section->fSectionHeader.Name.begin());
  section->fSectionHeader.Characteristics = ACharacteristics;
  section->fDirectoryEntry = ADirectoryEntry;
  return section;
}

void TImageSection::AddData(const uint8_t* data, uint32_t len) {
  fRawData.WriteBuffer(data, len);
  fSectionHeader.SizeOfRawData += len;
}

std::string TImageSection::SectionName() const {
  const auto& name = fSectionHeader.Name;
  return std::string(name.begin(), std::find(name.begin(), name.end(), uint8_t(0)));
}

TSectionReloc TImageSection::Reloc(int idx) const {
  if (idx < 0 || idx >= RelocCount()) RaiseListIndexError(idx);
  return fRelocs[static_cast<size_t>(idx)];
}

// ---- TPEBase ----

TPEBase::~TPEBase() = default;

void TPEBase::LoadFromFile(const std::u16string& name) {
  platform::TFileBytes file = platform::MapWholeFile(name);
  LoadFromSharedBytes(std::move(file.owner), file.View());
}

void TPEBase::LoadFromStream(TStream& s) {
  s.SetPosition(0);
  int64_t size = std::max<int64_t>(0, s.Size());
  auto image = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(size));
  s.ReadBuffer(image->data(), size);
  ByteView bytes(image->data(), image->size());
  LoadFromSharedBytes(std::move(image), bytes);
}

TImageSection* TPEBase::GetSectionByName(const std::string& name) const {
  for (int i = 0; i < ImageSectionCount(); ++i)
    if (ImageSection(i)->SectionName() == name) return ImageSection(i);
  return nullptr;
}

TSymbol* TPEBase::Symbol(int idx) const {
  if (!fSymbolTable) return nullptr;
  if (idx < 0 || idx >= static_cast<int>(fSymbolTable->size())) RaiseListIndexError(idx);
  return (*fSymbolTable)[static_cast<size_t>(idx)].get();
}

int TPEBase::SymbolCount() const { return fSymbolTable ? static_cast<int>(fSymbolTable->size()) : 0; }

const std::vector<TSymbol*>* TPEBase::symbolTableIndex() const { return fSymbolTableIndex.get(); }

const std::string& TPEBase::StringTableEntry(int idx) const {
  if (idx < 0 || idx >= StringTableCount()) RaiseListIndexError(idx);
  return (*fStringTable)[static_cast<size_t>(idx)];
}

int TPEBase::StringTableCount() const { return fStringTable ? static_cast<int>(fStringTable->size()) : 0; }

uint32_t TPEBase::SumSectionSizes(uint32_t flags) const {
  uint32_t sum = 0;
  for (int i = 0; i < ImageSectionCount(); ++i) {
    const IMAGE_SECTION_HEADER& h = ImageSection(i)->SectionHeader();
    if ((h.Characteristics & flags) != 0) sum += h.VirtualSize;
  }
  return sum;
}

TImageSection* TPEBase::FindFirstSectionWithFlags(uint32_t flags) const {
  for (int i = 0; i < ImageSectionCount(); ++i)
    if ((ImageSection(i)->SectionHeader().Characteristics & flags) != 0) return ImageSection(i);
  return nullptr;
}

void TPEBase::ReadStringTable(ByteView image) {
  fStringTable.reset();
  ByteView table = StringTableBytes(fCOFFHeader, image);
  if (table.empty()) return;
  fStringTable = std::make_unique<std::vector<std::string>>();
  for (uint64_t pos = 4; pos < table.size();) {
    size_t left = static_cast<size_t>(table.size() - pos);
    std::string s = ZeroTerminated(table.data() + pos, left);
    pos += s.size() + 1;  // past the zero, or past the end for a string cut off by it
    fStringTable->push_back(std::move(s));
  }
}

void TPEBase::ClearSymbolTable() {
  fSymbolTableIndex.reset();
  fSymbolTable.reset();
}

void TPEBase::ReadSymbolTable(ByteView image) {
  ClearSymbolTable();
  uint32_t count = fCOFFHeader.NumberOfSymbols;
  // A zero pointer means no table (it would otherwise read the DOS header as symbols).
  if (count == 0 || fCOFFHeader.PointerToSymbolTable == 0) return;
  uint64_t bytes = uint64_t(count) * kSymbolSize;
  // The symbol table is informational: one that is not in the file is taken as absent.
  if (!image.has(fCOFFHeader.PointerToSymbolTable, bytes)) return;
  ByteView records = image.sub(fCOFFHeader.PointerToSymbolTable, bytes);
  ByteView strings = StringTableBytes(fCOFFHeader, image);

  fSymbolTable = std::make_unique<std::vector<std::unique_ptr<TSymbol>>>();
  fSymbolTableIndex = std::make_unique<std::vector<TSymbol*>>();
  fSymbolTableIndex->reserve(count);
  for (uint32_t k = 0; k < count;) {
    const IMAGE_SYMBOL r = IMAGE_SYMBOL::Decode(records.from(uint64_t(k) * kSymbolSize));
    std::string name;
    if (r.HasLongName()) {
      // A long name: an offset into the string table, whose first 4 bytes are its length.
      uint32_t offset = r.LongNameOffset();
      if (offset >= 4 && offset < strings.size())
        name = ZeroTerminated(strings.data() + offset, static_cast<size_t>(strings.size() - offset));
    } else {
      name = ZeroTerminated(r.ShortName.data(), r.ShortName.size());
    }
    uint32_t aux = r.NumberOfAuxSymbols;
    auto symbol = std::make_unique<TSymbol>(std::move(name), k, r.Value, r.SectionNumber, r.Type, r.StorageClass);
    TSymbol* p = symbol.get();
    fSymbolTable->push_back(std::move(symbol));
    // Auxiliary records belong to the symbol before them; a count running past the table is cut there.
    uint32_t taken = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(aux) + 1, count - k));
    fSymbolTableIndex->insert(fSymbolTableIndex->end(), taken, p);
    k += taken;
  }
}

// ---- TRvaView ----

ByteView TRvaView::at(uint32_t rva, uint64_t count, const char* what) const {
  if (!has(rva, count)) throw EPEException(Format(LoadResString(StrId::StructureOutsideSection), {ToU16(what)}));
  return fBytes.sub(rva - fVirtualAddress, count);
}

std::string TRvaView::CString(uint32_t rva) const {
  if (fNull || rva < fVirtualAddress || rva - fVirtualAddress >= fBytes.size()) return std::string();
  uint64_t offset = rva - fVirtualAddress;
  return ZeroTerminated(fBytes.data() + offset, static_cast<size_t>(fBytes.size() - offset));
}

// ---- TPEModule: reading ----

TPEModule::~TPEModule() = default;

void TPEModule::ParseImage(const TSharedBytes& shared) {
  const ByteView image = shared.bytes;
  ClearParsedImage();
  const uint64_t tableStart = ReadHeaders(image);
  const std::vector<IMAGE_SECTION_HEADER> headers = ReadSectionTable(image, tableStart);
  const uint64_t headersEnd = tableStart + uint64_t(kSectionHeaderSize) * headers.size();
  const uint64_t firstData = ReadCommentBlock(shared, headers, headersEnd);
  ReadStringTable(image);
  ReadSymbolTable(image);
  for (const IMAGE_SECTION_HEADER& h : headers) {
    auto section = std::make_unique<TImageSection>(this, h, shared);
    section->SetLongName(LongSectionName(section->SectionName(), StringTableBytes(fCOFFHeader, image)));
    fSectionList.Add(std::move(section));
  }
  ReadEndComment(shared, headers, std::max(headersEnd, firstData));
}

void TPEModule::ClearParsedImage() {
  fSectionList.Clear();
  ClearSymbolTable();
  fStringTable.reset();
  fDOSStub.Clear();
  fCommentBlock.Clear();
  fEndComment.Clear();
  fOptionalHeader.clear();
  fDOSHeader = IMAGE_DOS_HEADER{};
  fCOFFHeader = IMAGE_FILE_HEADER{};
}

// The DOS header and stub, the PE signature, the COFF and optional headers; gives
// where the section table starts.
uint64_t TPEModule::ReadHeaders(ByteView image) {
  if (image.size() < 2 || image.u8(0) != 'M' || image.u8(1) != 'Z') RaisePE(StrId::InvalidDosSignature);
  fDOSHeader = IMAGE_DOS_HEADER::Decode(image);
  const uint64_t pe = fDOSHeader.e_lfanew;
  image.require(pe, 4, "PE signature");
  if (pe > kDosHeaderSize) fDOSStub.Write(image.ptr(kDosHeaderSize, pe - kDosHeaderSize), pe - kDosHeaderSize);
  if (image.u32(pe) != kPeSignature) RaisePE(StrId::InvalidCoffSignature);
  fCOFFHeader = IMAGE_FILE_HEADER::Decode(image.from(pe + 4, "COFF header"));

  const uint64_t optionalStart = pe + 4 + kFileHeaderSize;
  const uint16_t magic = image.u16(optionalStart, "Optional header");
  if (!TOptionalHeader::IsKnownMagic(magic) || (magic == kPe32PlusMagic && !fAcceptPE32Plus))
    RaisePE(StrId::InvalidWindowsImage);
  const uint16_t optionalSize = fCOFFHeader.SizeOfOptionalHeader;
  ByteView optional = image.sub(optionalStart, optionalSize, "Optional header");
  const uint32_t fixedSize = TOptionalHeader::FixedSizeFor(magic);
  if (optionalSize < fixedSize ||
      optionalSize <
          fixedSize + uint64_t(kDataDirectorySize) * optional.u32(TOptionalHeader::NumberOfRvaAndSizesAt(magic)))
    RaisePE(StrId::OptionalHeaderTooSmall);
  fOptionalHeader.assign(optional.data(), optional.data() + optionalSize);
  return optionalStart + optionalSize;
}

std::vector<IMAGE_SECTION_HEADER> TPEModule::ReadSectionTable(ByteView image, uint64_t tableStart) const {
  const uint64_t tableSize = uint64_t(kSectionHeaderSize) * fCOFFHeader.NumberOfSections;
  ByteView table = image.sub(tableStart, tableSize, "Section table");
  std::vector<IMAGE_SECTION_HEADER> headers;
  headers.reserve(fCOFFHeader.NumberOfSections);
  for (uint64_t off = 0; off < tableSize; off += kSectionHeaderSize)
    headers.push_back(IMAGE_SECTION_HEADER::Decode(table.from(off)));
  // What the sections hold, the resources read from them and the files written are
  // all counted from the headers, and headers that name the same bytes multiply
  // them: 20000 over one 200 KB block made 4 GB.
  uint64_t keptTotal = 0;
  for (const IMAGE_SECTION_HEADER& h : headers) keptTotal += TSectionMap::KeptFileBytes(h);
  if (keptTotal > kSectionBytesPerFileByte * image.size()) RaisePE(StrId::SectionsShareTheirBytes);
  return headers;
}

// The comment block: whatever lies between the section table and the first
// section's data. Gives where that data starts (0 when no section names any).
uint64_t TPEModule::ReadCommentBlock(const TSharedBytes& image, const std::vector<IMAGE_SECTION_HEADER>& headers,
                                     uint64_t headersEnd) {
  uint64_t firstData = 0;
  for (const IMAGE_SECTION_HEADER& h : headers)
    if (h.PointerToRawData != 0 && (firstData == 0 || h.PointerToRawData < firstData)) firstData = h.PointerToRawData;
  if (firstData > headersEnd) {
    ByteView comment = image.bytes.sub(headersEnd, firstData - headersEnd, "Comment block");
    fCommentBlock.AssignView(image.owner, comment.data(), static_cast<size_t>(comment.size()));
  }
  return firstData;
}

// The end comment: the bytes after all section data (symbols, overlays,
// certificates). It starts after the comment block even where no section has file
// bytes (a section without data still names the offset where its data would
// start). Only a section's kept bytes must be in the file, so SizeOfRawData is
// clipped to the file's end here.
void TPEModule::ReadEndComment(const TSharedBytes& image, const std::vector<IMAGE_SECTION_HEADER>& headers,
                               uint64_t dataEnd) {
  const uint64_t size = image.bytes.size();
  for (const IMAGE_SECTION_HEADER& h : headers)
    if (h.SizeOfRawData != 0)
      dataEnd = std::max(dataEnd, std::min<uint64_t>(uint64_t(h.PointerToRawData) + h.SizeOfRawData, size));
  fEndCommentOffset = dataEnd;
  if (size > dataEnd) {
    ByteView tail = image.bytes.from(dataEnd);
    fEndComment.AssignView(image.owner, tail.data(), static_cast<size_t>(tail.size()));
  }
}

TOptionalHeader TPEModule::OptionalHeader() const {
  return TOptionalHeader::Decode(ByteView(fOptionalHeader.data(), fOptionalHeader.size()));
}

uint16_t TPEModule::OptionalHeaderMagic() const {
  return fOptionalHeader.size() >= 2 ? getU16LE(fOptionalHeader.data()) : 0;
}

int TPEModule::DataDirectoryCount() const {
  const uint32_t fixedSize = TOptionalHeader::FixedSizeFor(OptionalHeaderMagic());
  if (fOptionalHeader.size() < fixedSize) return 0;
  uint64_t count = getU32LE(fOptionalHeader.data() + TOptionalHeader::NumberOfRvaAndSizesAt(OptionalHeaderMagic()));
  // Loading guarantees the block holds them all; a block changed since is not read past its end.
  uint64_t held = (fOptionalHeader.size() - fixedSize) / kDataDirectorySize;
  return static_cast<int>(std::min<uint64_t>(std::min(count, held), INT_MAX));
}

TDataDirectoryEntry TPEModule::DataDirectory(int index) {
  if (index < 0 || index >= DataDirectoryCount()) throw ERangeError(LoadResString(StrId::DataDirectoryIndex));
  return TDataDirectoryEntry(fOptionalHeader.data() + TOptionalHeader::FixedSizeFor(OptionalHeaderMagic()) +
                             kDataDirectorySize * static_cast<size_t>(index));
}

void TPEModule::SetOptionalHeaderFields(const TOptionalHeader& oh) {
  if (fOptionalHeader.size() < oh.FixedSize()) fOptionalHeader.resize(oh.FixedSize());
  oh.EncodeFixedFields(fOptionalHeader.data());
}

int TPEModule::FindDirectoryEntrySection(int entryNo, uint32_t& offset) {
  TDataDirectoryEntry entry = DataDirectory(entryNo);
  const uint32_t va = entry.VirtualAddress();
  if (entry.Size() == 0) return -1;
  const int i = CurrentSectionMap().SectionOf(TSectionMap::TExtent::Bytes, va);
  if (i >= 0) offset = va - ImageSection(i)->SectionHeader().VirtualAddress;
  return i;
}

TImageSection* TPEModule::GetExportSection(uint32_t& offset) {
  int idx = FindDirectoryEntrySection(IMAGE_DIRECTORY_ENTRY_EXPORT, offset);
  return idx < 0 ? nullptr : ImageSection(idx);
}

TImageSection* TPEModule::GetImportSection(uint32_t& offset) {
  int idx = FindDirectoryEntrySection(IMAGE_DIRECTORY_ENTRY_IMPORT, offset);
  return idx < 0 ? nullptr : ImageSection(idx);
}

TImageSection* TPEModule::GetResourceSection(uint32_t& offset) {
  int idx = FindDirectoryEntrySection(IMAGE_DIRECTORY_ENTRY_RESOURCE, offset);
  return idx < 0 ? nullptr : ImageSection(idx);
}

TRvaView TPEModule::SectionView(TImageSection* section) const {
  if (section == nullptr) return TRvaView();
  return TRvaView(section->RawData().View(), section->SectionHeader().VirtualAddress);
}

TRvaView TPEModule::ExportSectionData() {
  uint32_t offset = 0;
  return SectionView(GetExportSection(offset));
}

TRvaView TPEModule::ImportSectionData() {
  uint32_t offset = 0;
  return SectionView(GetImportSection(offset));
}

namespace {

// rva + delta as an RVA, or nothing when it leaves the 32-bit address space.
bool AddRva(uint32_t rva, uint64_t delta, uint32_t& result) {
  uint64_t sum = uint64_t(rva) + delta;
  if (sum > UINT32_MAX) return false;
  result = static_cast<uint32_t>(sum);
  return true;
}

}  // namespace

std::optional<IMAGE_EXPORT_DIRECTORY> TPEModule::ExportDirectory(const TRvaView& view) {
  if (view.IsNull()) return std::nullopt;
  const uint32_t rva = DataDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress();
  if (!view.has(rva, IMAGE_EXPORT_DIRECTORY::kSize)) return std::nullopt;
  return IMAGE_EXPORT_DIRECTORY::Decode(view.at(rva, IMAGE_EXPORT_DIRECTORY::kSize, "Export directory"));
}

int TPEModule::ExportCount() {
  std::optional<IMAGE_EXPORT_DIRECTORY> dir = ExportDirectory(ExportSectionData());
  if (!dir) return 0;
  return static_cast<int>(std::min<uint32_t>(dir->NumberOfNames, INT_MAX));
}

void TPEModule::GetExportDetails(int idx, std::string& name, uint32_t& ordinal) {
  if (idx < 0) return;
  TRvaView view = ExportSectionData();
  std::optional<IMAGE_EXPORT_DIRECTORY> dir = ExportDirectory(view);
  if (!dir) return;
  uint32_t nameEntry, ordinalEntry;
  if (!AddRva(dir->AddressOfNames, uint64_t(idx) * 4, nameEntry) ||
      !AddRva(dir->AddressOfNameOrdinals, uint64_t(idx) * 2, ordinalEntry) || !view.has(nameEntry, 4) ||
      !view.has(ordinalEntry, 2))
    return;
  ordinal = view.u16(ordinalEntry, "Export ordinal");
  name = view.CString(view.u32(nameEntry, "Export name"));
}

int TPEModule::ImportCount() {
  TRvaView view = ImportSectionData();
  if (view.IsNull()) return 0;
  uint32_t rva = DataDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress();
  int count = 0;
  // The list ends at an all-zero descriptor, or at the section's end when that is missing.
  while (view.has(rva, TImageImportDescriptor::kSize) &&
         !TImageImportDescriptor::Decode(view.at(rva, TImageImportDescriptor::kSize, "Import descriptor")).IsZero()) {
    ++count;
    if (!AddRva(rva, TImageImportDescriptor::kSize, rva)) break;
  }
  return count;
}

std::optional<TImageImportDescriptor> TPEModule::Import(int idx) {
  if (idx < 0) return std::nullopt;
  TRvaView view = ImportSectionData();
  if (view.IsNull()) return std::nullopt;
  uint32_t rva = DataDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress();
  for (int k = 0;; ++k) {
    if (!view.has(rva, TImageImportDescriptor::kSize)) return std::nullopt;
    TImageImportDescriptor d =
        TImageImportDescriptor::Decode(view.at(rva, TImageImportDescriptor::kSize, "Import descriptor"));
    if (d.IsZero()) return std::nullopt;
    if (k == idx) return d;
    if (!AddRva(rva, TImageImportDescriptor::kSize, rva)) return std::nullopt;
  }
}

}  // namespace tolvane
