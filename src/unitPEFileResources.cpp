// The resource section of an image read into resource details, and the container
// operations of TPEResourceModule.
//
// The resource directory is untrusted input: every table, entry, name and data
// entry is read through a view of the resource section's bytes, so no offset can
// reach outside it; each table and each data entry may be reached once only, which
// refuses cycles and keeps the walk linear in the size of the section, however the
// tables share their entries.
#include <algorithm>
#include <charconv>

#include "SectionMap.h"
#include "StringTable.h"
#include "platform/CodePages.h"
#include "support/HashIndex.h"
#include "unitPEFile.h"

namespace tolvane {

// ---- container operations ----

TPEResourceModule::~TPEResourceModule() = default;

void TPEResourceModule::DeleteResource(int resourceNo) {
  TResourceDetails* details = fDetailList[resourceNo];
  TResourceModule::DeleteResource(resourceNo);
  int stillAt = IndexOfResource(details);
  if (stillAt >= 0) fDetailList.Delete(stillAt);
}

void TPEResourceModule::InsertResource(int idx, std::unique_ptr<TResourceDetails> details) {
  fDetailList.Insert(idx, std::move(details));
}

int TPEResourceModule::AddResource(std::unique_ptr<TResourceDetails> details) {
  return fDetailList.Add(std::move(details));
}

int TPEResourceModule::IndexOfResource(const TResourceDetails* details) const { return fDetailList.IndexOf(details); }

void TPEResourceModule::SortResources() { SortDetailsList(fDetailList); }

// ---- reading the resource directory ----

namespace {

// Type, name and language make three levels; deeper tables are read, up to this many.
constexpr int kMaxDirectoryDepth = 32;
// Real directories copy far fewer name bytes into their resources than this.
constexpr uint64_t kNameBytesPerImageByte = 16;
constexpr uint64_t kNameBytesAlways = 1 << 20;

enum Level { kTypeLevel = 0, kNameLevel = 1, kLanguageLevel = 2 };

// The offsets visited so far. Linkers and this tool write tables and data entries
// in ascending order, so those are kept in a sorted array, appended to in order;
// an offset that comes out of order goes to an index.
class TVisitedOffsets {
public:
  // False if the offset was visited before.
  bool Visit(uint32_t offset) {
    if (fAscending.empty() || offset > fAscending.back()) {
      // Every offset of the index is below the last ascending one, so this one is new.
      fAscending.push_back(offset);
      return true;
    }
    if (std::binary_search(fAscending.begin(), fAscending.end(), offset)) return false;
    return fOutOfOrder.FindOrInsert(offset, offset, [offset](uint32_t seen) { return seen == offset; }).second;
  }

private:
  std::vector<uint32_t> fAscending;
  THashIndex<uint32_t> fOutOfOrder;
};

class TResourceDirectoryReader {
public:
  // directory: the resource section's bytes from the root table on. The resources
  // read are appended to out.
  TResourceDirectoryReader(TPEResourceModule* module, ByteView directory, const TOwningList<TImageSection>& sections,
                           TOwningList<TResourceDetails>& out)
      : fModule(module), fDirectory(directory), fSections(sections), fOut(out) {
    std::vector<IMAGE_SECTION_HEADER> headers;
    for (int i = 0; i < fSections.Count(); ++i) {
      headers.push_back(fSections[i]->SectionHeader());
      fImageBytes += fSections[i]->RawData().ByteSize();
    }
    fSectionOfAddress = TSectionMap(headers, 0);
  }

  void Walk() { WalkTable(0, kTypeLevel); }

private:
  ByteView Need(uint64_t offset, uint64_t count, const char* what) const {
    if (!fDirectory.has(offset, count))
      throw EPEException(Format(LoadResString(StrId::ResourceDirectoryOutside), {ToU16(what)}));
    return fDirectory.sub(offset, count);
  }

  // A counted UTF-16 name, passed through the ANSI code page as every name of the
  // model is, into the key of its level. Entries may share a name: the bytes decoded
  // are bounded as the bytes copied are.
  void Name(uint32_t offset, std::u16string& buffer) {
    uint16_t units = Need(offset, 2, "a name").u16(0);
    const uint8_t* cursor = Need(offset, 2 + 2 * uint64_t(units), "a name").data();
    fDecodedNameBytes += 2 + 2 * uint64_t(units);
    if (fDecodedNameBytes > NameBytesAllowed()) throw EPEException(LoadResString(StrId::ResourceDataTooLarge));
    platform::MultiByteToWideChar(platform::CP_ACP, ReadCountedAnsiString(cursor, platform::CP_ACP), buffer);
  }

  // An ID's text, into the key of its level.
  void IdText(uint32_t id, std::u16string& buffer) {
    char digits[10];
    char* end = std::to_chars(digits, digits + sizeof digits, id).ptr;
    buffer.assign(digits, end);
  }

  uint64_t NameBytesAllowed() const { return kNameBytesPerImageByte * fImageBytes + kNameBytesAlways; }

  void WalkTable(uint32_t offset, int level) {
    if (level > kMaxDirectoryDepth)
      throw EPEException(
          Format(LoadResString(StrId::ResourceDirectoryTooDeep), {ToU16(std::to_string(kMaxDirectoryDepth))}));
    if (!fTables.Visit(offset)) throw EPEException(LoadResString(StrId::ResourceDirectoryCycle));
    const auto table =
        IMAGE_RESOURCE_DIRECTORY::Decode(Need(offset, IMAGE_RESOURCE_DIRECTORY::kSize, "a directory table"));
    const uint32_t version = uint32_t(table.MajorVersion) << 16 | table.MinorVersion;
    const uint32_t named = table.NumberOfNamedEntries;
    const uint32_t count = named + table.NumberOfIdEntries;
    constexpr uint32_t kEntrySize = IMAGE_RESOURCE_DIRECTORY_ENTRY::kSize;
    ByteView entries =
        Need(uint64_t(offset) + IMAGE_RESOURCE_DIRECTORY::kSize, uint64_t(count) * kEntrySize, "a directory entry");

    for (uint32_t i = 0; i < count; ++i) {
      const auto entry = IMAGE_RESOURCE_DIRECTORY_ENTRY::Decode(entries.from(uint64_t(i) * kEntrySize));
      // The named entries come first; the high bit of the name field is not consulted.
      SetKey(level, i < named, entry);
      if (entry.DataIsDirectory())
        WalkTable(entry.DirectoryOffset(), level + 1);
      else
        ReadData(entry.OffsetToData, level, table.Characteristics, version);
    }
  }

  // The entry's ID or name becomes the key of its level.
  void SetKey(int level, bool isNamed, const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry) {
    switch (level) {
      case kTypeLevel:
      case kNameLevel: {
        std::u16string& key = level == kTypeLevel ? fType : fName;
        if (isNamed)
          Name(entry.NameOffset(), key);
        else
          IdText(entry.Name, key);
        break;
      }
      case kLanguageLevel:
        if (isNamed) throw EPEException(LoadResString(StrId::UnsupportedLanguageName));
        fLanguage = entry.Name;
        break;
      default:  // deeper levels add nothing to the resource's identity
        break;
    }
  }

  // The section whose bytes hold the size bytes at rva (normally the resource
  // section, the first in table order that holds rva); offset receives where they
  // start in its data.
  const TMemoryStream& DataBytes(uint32_t rva, uint32_t size, uint64_t& offset) const {
    const int i = fSectionOfAddress.SectionOf(TSectionMap::TExtent::Bytes, rva);
    if (i >= 0) {
      const uint32_t start = rva - fSections[i]->SectionHeader().VirtualAddress;
      const TMemoryStream& bytes = fSections[i]->RawData();
      if (bytes.View().has(start, size)) {
        offset = start;
        return bytes;
      }
    }
    throw EPEException(LoadResString(StrId::ResourceDataOutsideImage));
  }

  void ReadData(uint32_t offset, int level, uint32_t characteristics, uint32_t version) {
    if (level < kLanguageLevel) throw EPEException(LoadResString(StrId::ResourceDataBeforeLanguage));
    if (!fDataEntries.Visit(offset)) throw EPEException(LoadResString(StrId::ResourceDataShared));
    const auto entry =
        IMAGE_RESOURCE_DATA_ENTRY::Decode(Need(offset, IMAGE_RESOURCE_DATA_ENTRY::kSize, "a data entry"));
    const uint32_t rva = entry.OffsetToData;
    const uint32_t size = entry.Size;
    const uint32_t codePage = entry.CodePage;
    // An empty resource has no bytes to find, wherever its address points (and gets
    // empty data, not made-up content).
    // cppcheck-suppress unassignedVariable ; an empty stream is all it needs to be
    static const TMemoryStream kNoBytes;
    uint64_t at = 0;
    const TMemoryStream& bytes = size == 0 ? kNoBytes : DataBytes(rva, size, at);
    // Data entries may overlap; more bytes than the image has means they are used to
    // inflate it. Names are shared by many resources, but not without bound either.
    fDataBytes += size;
    fNameBytes += 2 * (fType.size() + fName.size());
    if (fDataBytes > fImageBytes || fNameBytes > NameBytesAllowed())
      throw EPEException(LoadResString(StrId::ResourceDataTooLarge));

    std::unique_ptr<TResourceDetails> details =
        TResourceDetails::CreateResourceDetails(fModule, fLanguage, fName, fType, bytes, at, size);
    details->SetCodePage(static_cast<int32_t>(codePage));
    details->SetCharacteristics(characteristics);
    details->SetVersion(version);
    details->SetDirty(false);
    fOut.Add(std::move(details));
  }

  TPEResourceModule* fModule;
  ByteView fDirectory;
  const TOwningList<TImageSection>& fSections;
  TSectionMap fSectionOfAddress;  // a resource's data may lie in any of tens of thousands of sections
  TOwningList<TResourceDetails>& fOut;
  uint64_t fImageBytes = 0;
  uint64_t fDataBytes = 0;
  uint64_t fNameBytes = 0;
  uint64_t fDecodedNameBytes = 0;
  // Each table and each data entry is read once: a second visit means the
  // directory loops, or shares bytes among resources.
  TVisitedOffsets fTables, fDataEntries;
  // The keys of the current path, each decoded into its own buffer, which keeps it
  // while the walk is below; both empty until their level sets them.
  std::u16string fType, fName;
  uint32_t fLanguage = 0;
};

}  // namespace

void TPEResourceModule::ParseImage(const TSharedBytes& image) {
  fDetailList.Clear();
  TPEModule::ParseImage(image);
  uint32_t offset = 0;
  TImageSection* section = GetResourceSection(offset);
  if (section != nullptr) {
    // Offsets inside the directory count from its root, which need not start the section.
    ByteView sectionBytes = section->RawData().View();
    if (!sectionBytes.has(offset, 0))
      throw EPEException(Format(LoadResString(StrId::ResourceDirectoryOutside), {u"the root table"}));
    TResourceDirectoryReader(this, sectionBytes.from(offset), fSectionList, fDetailList).Walk();
  }
  ClearDirty();
}

}  // namespace tolvane
