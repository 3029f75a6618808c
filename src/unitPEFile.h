// PE32 images: the COFF layer (TPEBase, TImageSection, TSymbol), the PE layer with
// its headers, directories and image writer (TPEModule), and the image whose
// resource section is held as resource details (TPEResourceModule).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PEStructures.h"
#include "SectionMap.h"
#include "StringTable.h"
#include "support/OwningList.h"
#include "unitResourceDetails.h"

namespace tolvane {

class TPEBase;

class TImageSection {
public:
  // A section read from an image; image is the whole file in memory. The section's
  // data views image's bytes while its owner keeps them, and is a copy otherwise.
  TImageSection(TPEBase* AParent, const IMAGE_SECTION_HEADER& AHeader, const TSharedBytes& image);
  virtual ~TImageSection() = default;
  // A new section without data.
  static std::unique_ptr<TImageSection> CreateEmpty(TPEBase* AParent, const std::string& AName,
                                                    uint32_t ACharacteristics, uint32_t ADirectoryEntry);

  // Appends len bytes at the position of RawData and grows SizeOfRawData by len.
  void AddData(const uint8_t* data, uint32_t len);

  TPEBase* Parent() const { return fParent; }
  std::string SectionName() const;
  // The name in full: a long one from the string table, else the header's.
  std::string FullName() const { return fLongName.empty() ? SectionName() : fLongName; }
  void SetLongName(std::string name) { fLongName = std::move(name); }
  const IMAGE_SECTION_HEADER& SectionHeader() const { return fSectionHeader; }
  IMAGE_SECTION_HEADER& MutableSectionHeader() { return fSectionHeader; }
  TMemoryStream& RawData() { return fRawData; }
  const TMemoryStream& RawData() const { return fRawData; }
  bool ContainsCode() const { return (fSectionHeader.Characteristics & IMAGE_SCN_CNT_CODE) != 0; }
  int RelocCount() const { return static_cast<int>(fRelocs.size()); }
  TSectionReloc Reloc(int idx) const;
  PSectionReloc GetRelocPtr() const { return fRelocs.empty() ? nullptr : fRelocs.data(); }

  int32_t UninitializedDataSize() const { return fUninitializedDataSize; }
  // A section whose bytes are rebuilt whole has no zero-filled tail of its old size.
  void DropUninitializedData() { fUninitializedDataSize = 0; }
  uint32_t DirectoryEntry() const { return fDirectoryEntry; }
  void SetDirectoryEntry(uint32_t entry) { fDirectoryEntry = entry; }

  // Called last by both constructors, where only this class's own can run.
  // cppcheck-suppress virtualCallInConstructor
  virtual void Initialize() {}
  virtual void Fixup() {}

private:
  struct EmptyTag {};
  TImageSection(TPEBase* AParent, EmptyTag);

  TPEBase* fParent;
  IMAGE_SECTION_HEADER fSectionHeader;
  int32_t fUninitializedDataSize = 0;
  uint32_t fDirectoryEntry = 0xFFFFFFFF;
  std::vector<TSectionReloc> fRelocs;
  TMemoryStream fRawData;
  std::string fLongName;
};

class TSymbol {
public:
  TSymbol(std::string ASymbolName, uint32_t AIndex, uint32_t AValue, uint16_t ASectionNumber, uint16_t AType,
          uint8_t AStorageClass)
      : fName(std::move(ASymbolName)),
        fValue(AValue),
        fSectionNumber(ASectionNumber),
        fType(AType),
        fStorageClass(AStorageClass),
        fIndex(AIndex) {}

  const std::string& Name() const { return fName; }
  uint32_t value() const { return fValue; }
  uint16_t sectionNumber() const { return fSectionNumber; }
  uint16_t SectionType() const { return fType; }
  uint8_t storageClass() const { return fStorageClass; }
  // The number of its record in the symbol table (auxiliary records count too).
  uint32_t index() const { return fIndex; }

private:
  std::string fName;
  uint32_t fValue;
  uint16_t fSectionNumber;
  uint16_t fType;
  uint8_t fStorageClass;
  uint32_t fIndex;
};

// The COFF image: file header, sections, symbols and strings.
class TPEBase : public TResourceModule {
public:
  TPEBase() = default;
  ~TPEBase() override;

  void LoadFromFile(const std::u16string& name) override;
  void LoadFromStream(TStream& s) override;
  // Parses a whole image held in memory; what is kept of it is copied.
  void LoadFromBytes(ByteView image) { ParseImage(TSharedBytes{image, nullptr}); }
  // Parses a whole image whose bytes owner keeps alive and unchanged: section data
  // and resources view those bytes instead of copying them (LoadFromFile maps the
  // file and comes here, LoadFromStream after reading).
  void LoadFromSharedBytes(TBytesOwner owner, ByteView image) { ParseImage(TSharedBytes{image, std::move(owner)}); }

  TImageSection* GetSectionByName(const std::string& name) const;
  TImageSection* ImageSection(int index) const { return fSectionList[index]; }
  int ImageSectionCount() const { return fSectionList.Count(); }
  TSymbol* Symbol(int idx) const;
  int SymbolCount() const;
  // Entry k is the symbol whose primary or auxiliary record is record k; null without a table.
  const std::vector<TSymbol*>* symbolTableIndex() const;
  const std::string& StringTableEntry(int idx) const;
  int StringTableCount() const;
  IMAGE_FILE_HEADER COFFHeader() const { return fCOFFHeader; }

  uint32_t GetCodeSize() const { return SumSectionSizes(IMAGE_SCN_CNT_CODE); }
  uint32_t GetIDataSize() const { return SumSectionSizes(IMAGE_SCN_CNT_INITIALIZED_DATA); }
  uint32_t GetUDataSize() const { return SumSectionSizes(IMAGE_SCN_CNT_UNINITIALIZED_DATA); }
  uint32_t SumSectionSizes(uint32_t flags) const;
  TImageSection* FindFirstSectionWithFlags(uint32_t flags) const;

  void ReadStringTable(ByteView image);
  void ReadSymbolTable(ByteView image);
  void ClearSymbolTable();

protected:
  virtual void FixupImage() {}
  virtual void ParseImage(const TSharedBytes&) {}
  virtual void LayoutImage() {}

  IMAGE_FILE_HEADER fCOFFHeader;
  TOwningList<TImageSection> fSectionList;
  // Absent (null) when the image has no symbol table or no string table.
  std::unique_ptr<std::vector<std::unique_ptr<TSymbol>>> fSymbolTable;
  std::unique_ptr<std::vector<TSymbol*>> fSymbolTableIndex;
  std::unique_ptr<std::vector<std::string>> fStringTable;
};

// A live data directory entry inside the optional header: writes through it change
// the header that will be saved.
class TDataDirectoryEntry {
public:
  explicit TDataDirectoryEntry(uint8_t* entry) : fEntry(entry) {}
  uint32_t VirtualAddress() const { return getU32LE(fEntry); }
  uint32_t Size() const { return getU32LE(fEntry + 4); }
  void SetVirtualAddress(uint32_t value) { putU32LE(fEntry, value); }
  void SetSize(uint32_t value) { putU32LE(fEntry + 4, value); }

private:
  uint8_t* fEntry;
};

// The bytes of one section addressed by RVA; null (IsNull) when there is no such
// section. Reads outside the section are refused.
class TRvaView {
public:
  TRvaView() = default;
  TRvaView(ByteView bytes, uint32_t virtualAddress) : fBytes(bytes), fVirtualAddress(virtualAddress), fNull(false) {}
  bool IsNull() const { return fNull; }
  bool has(uint32_t rva, uint64_t count) const {
    return !fNull && rva >= fVirtualAddress && fBytes.has(rva - fVirtualAddress, count);
  }
  ByteView at(uint32_t rva, uint64_t count, const char* what) const;
  uint16_t u16(uint32_t rva, const char* what) const { return at(rva, 2, what).u16(0); }
  uint32_t u32(uint32_t rva, const char* what) const { return at(rva, 4, what).u32(0); }
  // The zero-terminated string at rva, ending at the section's end at the latest.
  std::string CString(uint32_t rva) const;

private:
  ByteView fBytes;
  uint32_t fVirtualAddress = 0;
  bool fNull = true;
};

// The PE32 or PE32+ image: DOS header and stub, optional header and data directories, the
// comment block before the first section's data and the end comment after the last.
class TPEModule : public TPEBase {
public:
  TPEModule() = default;
  ~TPEModule() override;

  void SaveToStream(TStream& s) override;
  // PE32+ images are read (and so written) only when asked for; otherwise they are
  // refused as no Windows image, as PE32 readers refuse them.
  void AcceptPE32Plus(bool accept) { fAcceptPE32Plus = accept; }

  IMAGE_DOS_HEADER DOSHeader() const { return fDOSHeader; }
  TMemoryStream& DOSStub() { return fDOSStub; }
  // The optional header's fields and data directories, of the layout its Magic
  // names, zero-filled where the image has fewer bytes.
  TOptionalHeader OptionalHeader() const;
  int DataDirectoryCount() const;
  // Raises ERangeError "Index exceeds data directory count" for index >= DataDirectoryCount.
  TDataDirectoryEntry DataDirectory(int index);
  // Index of the section holding directory entry entryNo, or -1; offset receives the
  // entry's address relative to the section's.
  int FindDirectoryEntrySection(int entryNo, uint32_t& offset);
  TImageSection* GetExportSection(uint32_t& offset);
  TImageSection* GetImportSection(uint32_t& offset);
  TImageSection* GetResourceSection(uint32_t& offset);

  int ExportCount();
  TRvaView ExportSectionData();
  // The export directory, when the export section (view) holds all of it.
  std::optional<IMAGE_EXPORT_DIRECTORY> ExportDirectory(const TRvaView& view);
  // name and ordinal are left unchanged without an export section or past its bytes.
  void GetExportDetails(int idx, std::string& name, uint32_t& ordinal);
  int ImportCount();
  std::optional<TImageImportDescriptor> Import(int idx);
  TRvaView ImportSectionData();

  // Views of the input's bytes where its owner keeps them (a mapped file): an
  // overlay of gigabytes is not copied.
  ByteView CommentBlock() const { return fCommentBlock.View(); }
  uint64_t CommentSize() const { return fCommentBlock.ByteSize(); }
  ByteView EndComment() const { return fEndComment.View(); }
  uint64_t EndCommentSize() const { return fEndComment.ByteSize(); }

protected:
  void ParseImage(const TSharedBytes& image) override;
  void LayoutImage() override;
  void FixupImage() override {}

  // Writes the fixed fields of oh into the optional header block.
  void SetOptionalHeaderFields(const TOptionalHeader& oh);
  uint16_t OptionalHeaderMagic() const;
  std::vector<uint8_t>& OptionalHeaderBlock() { return fOptionalHeader; }
  TRvaView SectionView(TImageSection* section) const;

  // The image in one forward pass, from position start of s, and its checksum.
  void WriteImage(TStream& s, int64_t start);
  // Writes the data of a section whose bytes the layout left for the write (and
  // true), or does nothing (false) for a section that holds its bytes.
  virtual bool WriteDeferredSectionData(const TImageSection* section,
                                        const std::function<void(const uint8_t*, size_t)>& out);
  // Once the image is written to s from position start (s null: the write failed),
  // every such section takes its bytes.
  virtual void FinishDeferredSections(TStream* s, int64_t start);

  // The parse's steps, in file order.
  void ClearParsedImage();
  uint64_t ReadHeaders(ByteView image);
  std::vector<IMAGE_SECTION_HEADER> ReadSectionTable(ByteView image, uint64_t tableStart) const;
  uint64_t ReadCommentBlock(const TSharedBytes& image, const std::vector<IMAGE_SECTION_HEADER>& headers,
                            uint64_t headersEnd);
  void ReadEndComment(const TSharedBytes& image, const std::vector<IMAGE_SECTION_HEADER>& headers, uint64_t dataEnd);

  // The sections as they stand now, for questions of which holds an address.
  TSectionMap CurrentSectionMap() const;
  // What keeps a section at its address; None: it may move.
  enum class TPin { None, NotDiscardable, Code, EntryPoint, UnknownPointers, PatchedBytes, PointedInto };
  // The one rule for which sections a layout may give another address, one answer
  // per section in table order.
  std::vector<TPin> SectionPins() const;
  static StrId RefusalOf(TPin pin);
  // What the fixups that can be read patch and point into; pointersKnown: they
  // are every address the image holds of itself.
  struct TRelocationPins {
    bool pointersKnown = false;
    std::vector<bool> patched, pointedInto;  // by section index
  };
  TRelocationPins RelocationPins(const TSectionMap& map, int relocationSection) const;
  bool AddressesAreAbsolute() const;
  bool HoldsOnlyRelocations(const IMAGE_SECTION_HEADER& h) const;
  ByteView RelocationBlocks(int relocationSection) const;
  int RelocationSectionIndex(const TSectionMap& map) const;
  static bool IsDiscardable(const IMAGE_SECTION_HEADER& h) {
    return (h.Characteristics & IMAGE_SCN_MEM_DISCARDABLE) != 0;
  }

  // The layout's steps: plan, refuse, apply, move what points into moved bytes,
  // header totals. A section's placement records where it stood and where it goes.
  struct TSectionPlacement;
  struct TLayoutPlan;
  // The resource section the resource writer is about to give new bytes: inserted
  // at index (a new one), or the section at index rebuilt. The layout is planned
  // and refused with it before the model changes, so a refused image stays as it was.
  struct TPendingSection {
    int index = -1;
    bool inserted = false;
    uint64_t size = 0;
    uint32_t directoryEntry = 0;
    bool takesCommentBytes = false;  // its header takes the first bytes of the comment block
  };
  TLayoutPlan PlanLayout(const TPendingSection* pending) const;
  // Plans the layout with pending and refuses it as LayoutImage would, before the
  // model changes. Gives the pending section's header as it will be placed, and
  // movedAddresses the address each data directory entry will hold.
  IMAGE_SECTION_HEADER RefuseLayoutWith(const TPendingSection& pending, std::vector<uint32_t>& movedAddresses);
  void RefuseLayout(const TLayoutPlan& plan, const TPendingSection* pending);
  void RefuseUnsafeMoves(const TLayoutPlan& plan, const TPendingSection* pending) const;
  void RefuseFileOffsetsThatCannotMove(const TLayoutPlan& plan);
  // A file offset the headers hold, with the name a refusal gives it.
  struct THeaderFileOffset {
    uint32_t* field;
    std::string what;
  };
  std::vector<THeaderFileOffset> HeaderFileOffsets();
  // A debug record where it stands: at an offset in the data of a section.
  struct TDebugRecordPlace {
    TMemoryStream* data;
    uint64_t at;
    IMAGE_DEBUG_DIRECTORY Decode() const;
    void Encode(const IMAGE_DEBUG_DIRECTORY& record) const;
  };
  std::vector<TDebugRecordPlace> DebugRecords(const TLayoutPlan& plan);
  void ApplyPlacements(const TLayoutPlan& plan);
  void MoveLayoutDependentPositions(const TLayoutPlan& plan);
  void MoveDataDirectories(const TLayoutPlan& plan);
  static void MoveDebugRecord(const TLayoutPlan& plan, const TDebugRecordPlace& place);
  void SetHeaderTotals(const TLayoutPlan& plan);

  TMemoryStream fDOSStub;
  TMemoryStream fCommentBlock;
  TMemoryStream fEndComment;
  IMAGE_DOS_HEADER fDOSHeader{};
  std::vector<uint8_t> fOptionalHeader;  // SizeOfOptionalHeader bytes; empty before loading
  uint64_t fEndCommentOffset = 0;        // where the end comment starts in the file, as loaded or last written
  bool fAcceptPE32Plus = false;
};

// The image whose resources are held as details objects.
class TPEResourceModule : public TPEModule {
public:
  TPEResourceModule() = default;
  ~TPEResourceModule() override;

  int GetResourceCount() const override { return fDetailList.Count(); }
  void DeleteResource(int resourceNo) override;
  void InsertResource(int idx, std::unique_ptr<TResourceDetails> details) override;
  int AddResource(std::unique_ptr<TResourceDetails> details) override;
  int IndexOfResource(const TResourceDetails* details) const override;
  void SortResources() override;

protected:
  TResourceDetails* GetResourceDetails(int idx) const override { return fDetailList[idx]; }
  void ParseImage(const TSharedBytes& image) override;
  void LayoutImage() override;
  bool WriteDeferredSectionData(const TImageSection* section,
                                const std::function<void(const uint8_t*, size_t)>& out) override;
  void FinishDeferredSections(TStream* s, int64_t start) override;

private:
  // The resource section between layout and write: its directory, and the
  // resources' bytes in the order they follow it, written to the image from where
  // they are rather than gathered in memory first.
  struct TDeferredSection {
    TImageSection* section = nullptr;
    std::vector<uint8_t> directory;
    std::vector<const TMemoryStream*> data;
    uint64_t size = 0;
  };
  std::unique_ptr<TDeferredSection> fDeferred;

  int ExistingResourceSection(uint32_t& offset);
  void RefuseSharedResourceSection(const IMAGE_SECTION_HEADER& section, const std::vector<uint32_t>& addresses);
  bool RoomForSectionHeader() const;
  TImageSection* InsertResourceSection(const TPendingSection& pending);
  int IndexAfterLastFixedSection();

  TOwningList<TResourceDetails> fDetailList;
};

}  // namespace tolvane
