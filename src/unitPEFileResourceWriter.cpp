// The resource section writer: the details list becomes a resource directory tree,
// which is sized, placed and written into the resource section before the image is
// laid out.
#include <algorithm>
#include <charconv>
#include <deque>

#include "StringTable.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "support/Align.h"
#include "support/Sorting.h"
#include "unitPEFile.h"

namespace tolvane {
namespace {

constexpr uint32_t kTableHeaderSize = IMAGE_RESOURCE_DIRECTORY::kSize;
constexpr uint32_t kEntrySize = IMAGE_RESOURCE_DIRECTORY_ENTRY::kSize;
constexpr uint32_t kDataEntrySize = IMAGE_RESOURCE_DATA_ENTRY::kSize;
constexpr uint32_t kNewResourceCharacteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;
constexpr size_t kMaxEntriesPerGroup = 0xFFFF;

uint64_t align4(uint64_t v) { return alignUp(v, 4); }
uint64_t align16(uint64_t v) { return alignUp(v, 16); }

}  // namespace

class TResourceNode;

// One entry of a table: a type, a name or a language.
struct TRNode {
  std::string id;                       // the key in the ANSI code page
  bool intID = false;                   // written as an integer-ID entry
  bool leaf = false;                    // a language entry, which carries data
  std::unique_ptr<TResourceNode> next;  // the child table, when not a leaf
  TMemoryStream* data = nullptr;        // the details' bytes, when a leaf (not owned)
  uint32_t CodePage = 0;
};

// One table of the tree. Its entries stand in the order they are written, which
// Windows' loader binary-searches: named entries first, by UTF-16 code units, then
// ID entries by value. The tree is built from the resources in that order, so an
// entry is only ever appended.
class TResourceNode {
public:
  int count() const { return static_cast<int>(nodes.size()); }

  // Digits only, and exactly the decimal text of the value: 7 is an ID, 007 a name.
  static bool IsID(const std::string& id, uint32_t& value) {
    for (char c : id)
      if (c < '0' || c > '9') return false;
    if (id.empty()) RaiseInvalidInteger(u"");  // passes the digit test, but has no value
    int32_t number = ResourceNameToInt(platform::MultiByteToWideChar(platform::CP_ACP, id));
    value = static_cast<uint32_t>(number);
    return std::to_string(number) == id;
  }

  TRNode& AppendTable(const std::string& id, bool intID) {
    TRNode& node = Append(id, intID, false);
    node.next = std::make_unique<TResourceNode>();
    return node;
  }

  // A language's entry is keyed by the decimal text of its signed value, which
  // names the same 32 bits.
  TRNode& AppendLanguage(uint32_t language) {
    return Append(std::to_string(static_cast<int32_t>(language)), true, true);
  }

  std::vector<TRNode> nodes;
  uint32_t namedCount = 0;
  uint32_t idCount = 0;

private:
  TRNode& Append(std::string id, bool intID, bool leaf) {
    uint32_t& group = intID ? idCount : namedCount;
    if (group >= kMaxEntriesPerGroup) throw EPEException(LoadResString(StrId::TooManyEntries));
    ++group;
    TRNode& node = nodes.emplace_back();
    node.id = std::move(id);
    node.intID = intID;
    node.leaf = leaf;
    return node;
  }
};

namespace {

// A type or a name as its table holds it: what is written, and where it sorts.
struct TEntryKey {
  std::string id;  // the key in the ANSI code page
  bool intID = false;
  uint32_t value = 0;                       // an ID's value
  const std::u16string* written = nullptr;  // a name's UTF-16 units, as written back
};

int CompareEntryKeys(const TEntryKey& a, const TEntryKey& b) {
  if (a.intID != b.intID) return a.intID ? 1 : -1;
  if (a.intID) return a.value < b.value ? -1 : a.value > b.value ? 1 : 0;
  return a.written->compare(*b.written);
}

// The keys of one level (types or names), one per run of equal texts in list
// order: neighbours in the list mostly share their type and often their name.
class TEntryKeys {
public:
  uint32_t KeyFor(const std::u16string& text) {
    if (fLastText != nullptr && *fLastText == text) return static_cast<uint32_t>(fKeys.size() - 1);
    TEntryKey& key = fKeys.emplace_back();
    key.id = platform::WideCharToMultiByte(platform::CP_ACP, text);
    if (!TResourceNode::IsID(key.id, key.value)) {
      // Two texts that the ANSI code page cannot tell apart are one entry: the name
      // written back is the same for both.
      platform::MultiByteToWideChar(platform::CP_ACP, key.id, fScratch);
      key.written = fScratch == text ? &text : &fConverted.emplace_back(fScratch);
      // The directory counts a name's characters in 16 bits: a longer name would be
      // written cut, as another resource.
      if (key.written->size() > 0xFFFF) throw EPEException(LoadResString(StrId::ResourceNameTooLong));
    } else {
      key.intID = true;
    }
    fLastText = &text;
    return static_cast<uint32_t>(fKeys.size() - 1);
  }

  const TEntryKey& operator[](uint32_t index) const { return fKeys[index]; }

private:
  std::vector<TEntryKey> fKeys;
  std::deque<std::u16string> fConverted;  // names the round trip changes (the others are the details' own)
  std::u16string fScratch;
  const std::u16string* fLastText = nullptr;
};

// One resource of the list, by its keys.
struct TLeafRef {
  uint32_t type, name, language, position;
};

// Builds the tree from the details list. The resources are ordered as the tables
// will be written, the list order deciding between equal identities, so every
// table is filled in its final order and an equal key is always its last entry.
// Of one identity the later resource gives its bytes, the first its code page.
class TTreeBuilder {
public:
  void Build(const TOwningList<TResourceDetails>& list, TResourceNode& root) {
    std::vector<TLeafRef> refs;
    refs.reserve(static_cast<size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) {
      const TResourceDetails& details = *list[i];
      refs.push_back({fTypes.KeyFor(details.ResourceType()), fNames.KeyFor(details.ResourceName()),
                      details.ResourceLanguage(), static_cast<uint32_t>(i)});
    }
    SortMostlySorted(refs.begin(), refs.end(), [this](const TLeafRef& a, const TLeafRef& b) { return Before(a, b); });

    TRNode *type = nullptr, *name = nullptr, *leaf = nullptr;
    const TLeafRef* previous = nullptr;
    for (const TLeafRef& ref : refs) {
      const bool newType = previous == nullptr || !SameType(ref, *previous);
      const bool newName = newType || !SameName(ref, *previous);
      TResourceDetails& details = *list[static_cast<int>(ref.position)];
      if (newType) type = &root.AppendTable(fTypes[ref.type].id, fTypes[ref.type].intID);
      if (newName) name = &type->next->AppendTable(fNames[ref.name].id, fNames[ref.name].intID);
      if (newName || ref.language != previous->language) {
        leaf = &name->next->AppendLanguage(ref.language);
        leaf->CodePage = static_cast<uint32_t>(details.CodePage());
      }
      leaf->data = &details.data();
      previous = &ref;
    }
  }

private:
  bool SameType(const TLeafRef& a, const TLeafRef& b) const {
    return a.type == b.type || CompareEntryKeys(fTypes[a.type], fTypes[b.type]) == 0;
  }
  bool SameName(const TLeafRef& a, const TLeafRef& b) const {
    return a.name == b.name || CompareEntryKeys(fNames[a.name], fNames[b.name]) == 0;
  }
  bool Before(const TLeafRef& a, const TLeafRef& b) const {
    if (a.type != b.type)
      if (int c = CompareEntryKeys(fTypes[a.type], fTypes[b.type])) return c < 0;
    if (a.name != b.name)
      if (int c = CompareEntryKeys(fNames[a.name], fNames[b.name])) return c < 0;
    if (a.language != b.language) return a.language < b.language;
    return a.position < b.position;
  }

  TEntryKeys fTypes, fNames;
};

// The 32 bits an ID entry's text stands for: a language's may be negative.
uint32_t IdValue(const std::string& id) {
  int64_t value = 0;
  std::from_chars(id.data(), id.data() + id.size(), value);
  return static_cast<uint32_t>(value);
}

struct TTreeSizes {
  uint64_t tables = 0;   // T
  uint64_t leaves = 0;   // L
  uint64_t strings = 0;  // S
  uint64_t data = 0;     // D
  uint64_t DataEntriesStart() const { return tables; }
  uint64_t StringsStart() const { return tables + kDataEntrySize * leaves; }
  uint64_t DataStart() const { return align16(StringsStart() + strings); }  // A
  uint64_t Total() const { return DataStart() + data; }
};

void MeasureTree(const TResourceNode& table, TTreeSizes& sizes, std::u16string& scratch) {
  sizes.tables += kTableHeaderSize + kEntrySize * table.nodes.size();
  for (const TRNode& node : table.nodes) {
    if (!node.intID) {
      platform::MultiByteToWideChar(platform::CP_ACP, node.id, scratch);
      sizes.strings += 2 + 2 * scratch.size();
    }
    if (node.leaf) {
      ++sizes.leaves;
      sizes.data += align4(static_cast<uint64_t>(node.data->Size()));
    } else {
      MeasureTree(*node.next, sizes, scratch);
    }
  }
}

struct TTableStamp {
  uint32_t TimeDateStamp = 0;
  uint16_t MajorVersion = 0, MinorVersion = 0;
};

// Fills a buffer of exactly the measured size, every area at its own cursor.
class TTreeWriter {
public:
  TTreeWriter(const TTreeSizes& sizes, const TTableStamp& stamp, uint32_t sectionVirtualAddress)
      : fSizes(sizes), fStamp(stamp), fVirtualAddress(sectionVirtualAddress), fOut(sizes.DataStart()) {}

  // Fills the directory: tables, data entries and names. The resources' bytes
  // follow it in the order the walk gives the leaves (Data()), each padded to 4.
  void Write(const TResourceNode& root) {
    fData.reserve(static_cast<size_t>(fSizes.leaves));
    WriteTable(root);
    // The measure pass and this one compute every size apart: they must agree.
    fOut.Finish(fNextTable == fSizes.tables && fLeaves == fSizes.leaves && fNextString == fSizes.strings &&
                fNextData == fSizes.data);
  }
  std::vector<uint8_t>& Directory() { return fOut.Bytes(); }
  std::vector<const TMemoryStream*>& Data() { return fData; }

private:
  void WriteTable(const TResourceNode& table) {
    uint64_t at = fNextTable;
    fNextTable += kTableHeaderSize + kEntrySize * table.nodes.size();
    IMAGE_RESOURCE_DIRECTORY header;
    header.TimeDateStamp = fStamp.TimeDateStamp;
    header.MajorVersion = fStamp.MajorVersion;
    header.MinorVersion = fStamp.MinorVersion;
    header.NumberOfNamedEntries = static_cast<uint16_t>(table.namedCount);
    header.NumberOfIdEntries = static_cast<uint16_t>(table.idCount);
    header.Encode(fOut, at);
    uint64_t entryAt = at + kTableHeaderSize;
    for (const TRNode& node : table.nodes) {
      IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
      entry.Name = EntryName(node);
      if (node.leaf) {
        entry.OffsetToData = static_cast<uint32_t>(WriteLeaf(node));
        entry.Encode(fOut, entryAt);
      } else {
        // The child table is written after this entry, which names where it will start.
        entry.OffsetToData = IMAGE_RESOURCE_DIRECTORY_ENTRY::kDataIsDirectory | static_cast<uint32_t>(fNextTable);
        entry.Encode(fOut, entryAt);
        WriteTable(*node.next);
      }
      entryAt += kEntrySize;
    }
  }

  uint32_t EntryName(const TRNode& node) {
    if (node.intID) return IdValue(node.id);
    std::u16string& name = fScratch;
    platform::MultiByteToWideChar(platform::CP_ACP, node.id, name);
    uint64_t at = fSizes.StringsStart() + fNextString;
    fOut.u16(at, static_cast<uint16_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) fOut.u16(at + 2 + 2 * i, name[i]);
    fNextString += 2 + 2 * name.size();
    return IMAGE_RESOURCE_DIRECTORY_ENTRY::kNameIsString | static_cast<uint32_t>(at);
  }

  uint64_t WriteLeaf(const TRNode& node) {
    uint64_t entryAt = fSizes.DataEntriesStart() + kDataEntrySize * fLeaves++;
    uint64_t dataAt = fSizes.DataStart() + fNextData;
    const TMemoryStream& bytes = *node.data;
    IMAGE_RESOURCE_DATA_ENTRY entry;
    entry.OffsetToData = static_cast<uint32_t>(fVirtualAddress + dataAt);
    entry.Size = static_cast<uint32_t>(bytes.ByteSize());
    entry.CodePage = node.CodePage;
    entry.Encode(fOut, entryAt);
    fData.push_back(&bytes);
    fNextData += align4(bytes.ByteSize());
    return entryAt;
  }

  const TTreeSizes& fSizes;
  TTableStamp fStamp;
  uint64_t fVirtualAddress;
  FixedByteWriter fOut;                     // the directory: tables, data entries, strings
  std::vector<const TMemoryStream*> fData;  // the leaves' bytes, in the order they are placed
  uint64_t fNextTable = 0, fNextString = 0, fNextData = 0, fLeaves = 0;
  std::u16string fScratch;
};

TTableStamp ReadOldStamp(const TMemoryStream& oldData, uint32_t offset) {
  TTableStamp stamp;
  ByteView old = oldData.View();
  // Loading read the whole root table at this offset, so it is there.
  if (old.has(offset, kTableHeaderSize)) {
    const auto root = IMAGE_RESOURCE_DIRECTORY::Decode(old.from(offset));
    stamp.TimeDateStamp = root.TimeDateStamp;
    stamp.MajorVersion = root.MajorVersion;
    stamp.MinorVersion = root.MinorVersion;
  }
  return stamp;
}

// The directory was written with addresses relative to its section: the section's
// address, now known, is added to every data entry.
void AddSectionAddress(std::vector<uint8_t>& directory, const TTreeSizes& sizes, uint32_t virtualAddress) {
  const ByteView written(directory.data(), directory.size());
  FixedByteWriter out(directory.data(), directory.size());
  for (uint64_t k = 0; k < sizes.leaves; ++k) {
    const uint64_t at = sizes.DataEntriesStart() + kDataEntrySize * k;
    IMAGE_RESOURCE_DATA_ENTRY entry = IMAGE_RESOURCE_DATA_ENTRY::Decode(written.from(at));
    entry.OffsetToData += virtualAddress;
    entry.Encode(out, at);
  }
}

}  // namespace

// The section that holds the resources now: the one data directory entry 2 points
// into (its index), or -1 when the image has none.
int TPEResourceModule::ExistingResourceSection(uint32_t& offset) {
  const int index = FindDirectoryEntrySection(IMAGE_DIRECTORY_ENTRY_RESOURCE, offset);
  if (index < 0) return -1;
  TImageSection* section = fSectionList[index];
  std::vector<uint32_t> addresses;
  for (int k = 0; k < DataDirectoryCount(); ++k) addresses.push_back(DataDirectory(k).VirtualAddress());
  RefuseSharedResourceSection(section->SectionHeader(), addresses);
  // The rebuilt section holds the resources alone: the bytes before a directory
  // that does not start it, or the code of a section it shares, would be lost.
  if (offset != 0 || section->ContainsCode()) throw EPEException(LoadResString(StrId::ResourceSectionHoldsMore));
  return index;
}

// Rebuilding replaces the whole section: refuse one that other directories use too.
// The section's addresses run on to the next multiple of SectionAlignment, which the
// loader maps as zeros and into which the rebuilt section may grow; an entry there
// would end up describing resource bytes. Asked of the section as it stands, and as
// the layout will place it with the addresses the layout gives the entries.
void TPEResourceModule::RefuseSharedResourceSection(const IMAGE_SECTION_HEADER& section,
                                                    const std::vector<uint32_t>& addresses) {
  const uint32_t sectionAlignment = OptionalHeader().SectionAlignment();
  for (int k = 0; k < DataDirectoryCount(); ++k) {
    if (k == int(IMAGE_DIRECTORY_ENTRY_RESOURCE) || k == int(IMAGE_DIRECTORY_ENTRY_SECURITY)) continue;
    TDataDirectoryEntry dir = DataDirectory(k);
    if (dir.Size() == 0 || dir.VirtualAddress() == 0) continue;
    const uint32_t address = addresses[static_cast<size_t>(k)];
    if (TSectionMap::Holds(TSectionMap::TExtent::MappedSpan, section, sectionAlignment, address))
      throw EPEException(LoadResString(StrId::ResourceSectionShared));
  }
}

// A new section header takes the first 40 bytes of the comment block when they are
// all zero (nothing after them moves), or else grows the headers, which must stay
// within SectionAlignment. Gives whether it takes them.
bool TPEResourceModule::RoomForSectionHeader() const {
  const ByteView comment = fCommentBlock.View();
  if (comment.size() >= kSectionHeaderSize) {
    bool zero = std::all_of(comment.data(), comment.data() + kSectionHeaderSize, [](uint8_t b) { return b == 0; });
    if (!zero) throw EPEException(LoadResString(StrId::NoRoomForResourceSection));
    return true;
  }
  if (!comment.empty()) throw EPEException(LoadResString(StrId::NoRoomForResourceSection));
  uint64_t headers = kDosHeaderSize + uint64_t(fDOSStub.ByteSize()) + 4 + kFileHeaderSize +
                     fCOFFHeader.SizeOfOptionalHeader + uint64_t(kSectionHeaderSize) * (fSectionList.Count() + 1);
  if (headers > OptionalHeader().SectionAlignment()) throw EPEException(LoadResString(StrId::NoRoomForResourceSection));
  return false;
}

// Only sections that may move may follow the new section.
int TPEResourceModule::IndexAfterLastFixedSection() {
  const std::vector<TPin> pins = SectionPins();
  const auto lastFixed = std::find_if(pins.rbegin(), pins.rend(), [](TPin pin) { return pin != TPin::None; });
  return static_cast<int>(pins.rend() - lastFixed);
}

void TPEResourceModule::LayoutImage() {
  uint32_t offset = 0;
  const int existing = ExistingResourceSection(offset);
  if (existing < 0 && fDetailList.Count() == 0) {
    TPEModule::LayoutImage();
    // Entry 2 held no resource directory the reader could find. Left as it was, its
    // address could now fall inside a section the layout put there, and the image
    // would claim a directory made of that section's bytes.
    if (DataDirectoryCount() > int(IMAGE_DIRECTORY_ENTRY_RESOURCE)) {
      TDataDirectoryEntry dir = DataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
      dir.SetVirtualAddress(0);
      dir.SetSize(0);
    }
    return;
  }
  // Everything that could refuse the image is asked first, of the layout as it
  // will be: a refused image is left as it was.
  TPendingSection pending;
  pending.inserted = existing < 0;
  pending.directoryEntry = IMAGE_DIRECTORY_ENTRY_RESOURCE;
  if (pending.inserted) {
    if (DataDirectoryCount() <= int(IMAGE_DIRECTORY_ENTRY_RESOURCE))
      throw EPEException(LoadResString(StrId::TooFewDataDirectories));
    pending.takesCommentBytes = RoomForSectionHeader();
    pending.index = IndexAfterLastFixedSection();
  } else {
    pending.index = existing;
  }
  TResourceNode root;
  TTreeBuilder().Build(fDetailList, root);
  TTreeSizes sizes;
  std::u16string scratch;
  MeasureTree(root, sizes, scratch);
  if (sizes.Total() > 0xFFFFFFFFu) throw EPEException(LoadResString(StrId::LayoutOverflow));
  pending.size = sizes.Total();
  std::vector<uint32_t> movedAddresses;
  const IMAGE_SECTION_HEADER placed = RefuseLayoutWith(pending, movedAddresses);
  RefuseSharedResourceSection(placed, movedAddresses);

  TImageSection* section = pending.inserted ? InsertResourceSection(pending) : fSectionList[existing];
  TTableStamp stamp = pending.inserted ? TTableStamp{} : ReadOldStamp(section->RawData(), offset);

  // The data entries hold addresses, which only the layout gives: the directory is
  // written with addresses relative to the section, and the section's address is
  // added once it is placed. The resources' bytes are not gathered here: the image
  // writer takes them from where they are (WriteDeferredSectionData), and the
  // section then views what was written (FinishDeferredSections). Until then it
  // holds zero bytes of its size, which no memory backs.
  TTreeWriter writer(sizes, stamp, 0);
  writer.Write(root);
  auto deferred = std::make_unique<TDeferredSection>();
  deferred->section = section;
  deferred->directory = std::move(writer.Directory());
  deferred->data = std::move(writer.Data());
  deferred->size = sizes.Total();
  platform::TFileBytes zeros = platform::ZeroBytes(static_cast<size_t>(sizes.Total()));
  section->RawData().AssignView(std::move(zeros.owner), zeros.data, zeros.size);
  // The old section's virtual tail beyond its file bytes belonged to the old
  // directory. Kept, it would shrink by the file padding at every save (the padding
  // is counted as file bytes when the image is read again) and swell the
  // directory's size in entry 2.
  section->DropUninitializedData();
  section->SetDirectoryEntry(IMAGE_DIRECTORY_ENTRY_RESOURCE);
  fDeferred.reset();
  TPEModule::LayoutImage();
  AddSectionAddress(deferred->directory, sizes, section->SectionHeader().VirtualAddress);
  fDeferred = std::move(deferred);
}

TImageSection* TPEResourceModule::InsertResourceSection(const TPendingSection& pending) {
  if (pending.takesCommentBytes) {
    fCommentBlock.AssignRange(fCommentBlock, kSectionHeaderSize,
                              static_cast<size_t>(fCommentBlock.ByteSize()) - kSectionHeaderSize);
  }
  fSectionList.Insert(pending.index, TImageSection::CreateEmpty(this, ".rsrc", kNewResourceCharacteristics,
                                                                IMAGE_DIRECTORY_ENTRY_RESOURCE));
  return fSectionList[pending.index];
}

bool TPEResourceModule::WriteDeferredSectionData(const TImageSection* section,
                                                 const std::function<void(const uint8_t*, size_t)>& out) {
  if (!fDeferred || section != fDeferred->section) return false;
  static const uint8_t kPadding[4] = {};
  out(fDeferred->directory.data(), fDeferred->directory.size());
  for (const TMemoryStream* bytes : fDeferred->data) {
    ByteView view = bytes->View();
    out(view.data(), view.size());
    if (view.size() % 4 != 0) out(kPadding, 4 - view.size() % 4);
  }
  return true;
}

void TPEResourceModule::FinishDeferredSections(TStream* s, int64_t start) {
  std::unique_ptr<TDeferredSection> deferred = std::move(fDeferred);
  if (!deferred) return;
  TMemoryStream& raw = deferred->section->RawData();
  const size_t size = static_cast<size_t>(deferred->size);
  if (s != nullptr) {
    // What was written stays in the file (a new one, renamed into place, never
    // written into again), so the section views it there.
    const uint8_t* data = nullptr;
    int64_t at = start + int64_t(deferred->section->SectionHeader().PointerToRawData);
    if (TBytesOwner owner = s->ViewWritten(at, size, data)) {
      raw.AssignView(std::move(owner), data, size);
      return;
    }
  }
  // Any other stream, or a failed write: the section gathers its bytes itself.
  std::vector<uint8_t> bytes;
  bytes.reserve(size);
  bytes.insert(bytes.end(), deferred->directory.begin(), deferred->directory.end());
  for (const TMemoryStream* data : deferred->data) {
    ByteView view = data->View();
    bytes.insert(bytes.end(), view.data(), view.data() + view.size());
    bytes.resize(static_cast<size_t>(align4(bytes.size())), 0);
  }
  raw.Adopt(std::move(bytes));
}

}  // namespace tolvane
