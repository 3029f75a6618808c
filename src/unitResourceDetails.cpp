#include "unitResourceDetails.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "StringTable.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "support/Sorting.h"

namespace tolvane {

// The class functions of one details class, bound into its class reference.
template <class T>
struct TDetailsFactory {
  static std::unique_ptr<TResourceDetails> Create(TResourceModule* AParent, uint32_t ALanguage,
                                                  const std::u16string& AName, const std::u16string& AType,
                                                  int64_t ASize, const uint8_t* AData) {
    auto details = std::make_unique<T>(AParent, ALanguage, AName, AType);
    details->InitData(ASize, AData);
    return details;
  }
  static TResourceDetails* CreateNew(TResourceModule* AParent, uint32_t ALanguage, const std::u16string& AName) {
    auto details = std::make_unique<T>(AParent, ALanguage, AName, T::GetBaseType());
    TResourceDetails* result = details.get();
    if (AParent != nullptr && AParent->AddResource(std::move(details)) < 0) return nullptr;
    result->InitNewData();
    return result;
  }
  static std::unique_ptr<TResourceDetails> CreateNewDetached(uint32_t ALanguage, const std::u16string& AName) {
    auto details = std::make_unique<T>(nullptr, ALanguage, AName, T::GetBaseType());
    details->InitNewData();
    return details;
  }
  static std::u16string BaseType() { return T::GetBaseType(); }
  static bool Accepts(int64_t ASize, const uint8_t* AData) { return T::AcceptsData(ASize, AData); }
  static bool AcceptsRC(const std::u16string& AName, int64_t ASize, const uint8_t* AData) {
    return T::AcceptsRCData(AName, ASize, AData);
  }
  static constexpr TResourceDetailsClassInfo Info(const char* name) {
    return {name, &BaseType, &Accepts, &AcceptsRC, &Create, &CreateNew, &CreateNewDetached};
  }
};

const TResourceDetailsClassInfo TResourceDetails::ClassInfo =
    TDetailsFactory<TResourceDetails>::Info("TResourceDetails");
const TResourceDetailsClassInfo TAnsiResourceDetails::ClassInfo =
    TDetailsFactory<TAnsiResourceDetails>::Info("TAnsiResourceDetails");
const TResourceDetailsClassInfo TUnicodeResourceDetails::ClassInfo =
    TDetailsFactory<TUnicodeResourceDetails>::Info("TUnicodeResourceDetails");

TResourceDetailsClass TResourceDetails::ClassType() const { return &ClassInfo; }
TResourceDetailsClass TAnsiResourceDetails::ClassType() const { return &ClassInfo; }
TResourceDetailsClass TUnicodeResourceDetails::ClassType() const { return &ClassInfo; }

// ---- TResourceDetails ----

TResourceDetails::TResourceDetails(TResourceModule* AParent, uint32_t ALanguage, std::u16string AName,
                                   std::u16string AType)
    : fParent(AParent),
      fCodePage(LanguageToCodePage(ALanguage)),
      fResourceLanguage(ALanguage),
      fResourceName(std::move(AName)),
      fResourceType(std::move(AType)) {}

TResourceDetails::~TResourceDetails() = default;

std::unique_ptr<TResourceDetails> TResourceDetails::Create(TResourceModule* AParent, uint32_t ALanguage,
                                                           const std::u16string& AName, const std::u16string& AType,
                                                           int64_t ASize, const uint8_t* AData) {
  return TDetailsFactory<TResourceDetails>::Create(AParent, ALanguage, AName, AType, ASize, AData);
}

void TResourceDetails::InitData(int64_t ASize, const uint8_t* AData) {
  fData.Clear();
  if (AData != nullptr) {
    if (ASize > 0) fData.Write(AData, ASize);
  } else {
    PrepareNewData();
  }
}

void TResourceDetails::InitNewData() {
  fData.Clear();
  PrepareNewData();
}

void TResourceDetails::SetResourceName(const std::u16string& AName) {
  if (fResourceName != AName) {
    fResourceName = AName;
    fDirty = true;
  }
}

void TResourceDetails::SetResourceType(const std::u16string& AType) {
  if (fResourceType != AType) {
    fResourceType = AType;
    fDirty = true;
  }
}

void TResourceDetails::ChangeData(TMemoryStream& newData) {
  if (&newData == &fData) {  // copying a stream onto itself keeps it
    fData.SetPosition(fData.Size());
    return;
  }
  // A copy in effect; when newData views a loaded file the bytes are shared until
  // either side is written to.
  fData.AssignRange(newData, 0, newData.ByteSize());
  newData.SetPosition(newData.Size());
}

std::vector<TResourceDetailsClass>& DetailsClassRegistry() {
  static std::vector<TResourceDetailsClass> registry;
  return registry;
}

TResourceDetailsClass TResourceDetails::ChooseDetailsClass(const std::u16string& AName, const std::u16string& AType,
                                                           int64_t ASize, const uint8_t* AData) {
  const auto& registry = DetailsClassRegistry();
  if (!AType.empty()) {
    try {
      for (TResourceDetailsClass c : registry) {
        if (c->GetBaseType() != AType) continue;
        if (AType == u"10" && !c->AcceptsRCData(AName, ASize, AData)) continue;
        return c;
      }
    } catch (...) {  // a registered class that fails is passed over
    }
  }
  try {
    for (TResourceDetailsClass c : registry)
      if (c->AcceptsData(ASize, AData)) return c;
  } catch (...) {
  }
  if (TAnsiResourceDetails::AcceptsData(ASize, AData)) return &TAnsiResourceDetails::ClassInfo;
  if (TUnicodeResourceDetails::AcceptsData(ASize, AData)) return &TUnicodeResourceDetails::ClassInfo;
  return &TResourceDetails::ClassInfo;
}

std::unique_ptr<TResourceDetails> TResourceDetails::CreateResourceDetails(TResourceModule* AParent, uint32_t ALanguage,
                                                                          const std::u16string& AName,
                                                                          const std::u16string& AType, int64_t ASize,
                                                                          const uint8_t* AData) {
  // The registry is empty, so the choice never throws and the fallback decides.
  TResourceDetailsClass chosen = ChooseDetailsClass(AName, AType, ASize, AData);
  return chosen->Create(AParent, ALanguage, AName, AType, ASize, AData);
}

namespace {

// The class that suits the type and the size bytes at data, created empty (but with
// data, so no hook makes up content) to be given the bytes next: Create is
// construction plus exactly this.
std::unique_ptr<TResourceDetails> CreateForBytes(TResourceModule* AParent, uint32_t ALanguage,
                                                 const std::u16string& AName, const std::u16string& AType,
                                                 uint64_t size, const uint8_t* data) {
  // Empty data is still data: a null pointer would ask the new resource to make up its own.
  static const uint8_t kNoBytes = 0;
  const uint8_t* bytes = size > 0 ? data : &kNoBytes;
  TResourceDetailsClass chosen = TResourceDetails::ChooseDetailsClass(AName, AType, static_cast<int64_t>(size), bytes);
  return chosen->Create(AParent, ALanguage, AName, AType, 0, &kNoBytes);
}

}  // namespace

std::unique_ptr<TResourceDetails> TResourceDetails::CreateResourceDetails(TResourceModule* AParent, uint32_t ALanguage,
                                                                          const std::u16string& AName,
                                                                          const std::u16string& AType,
                                                                          const TMemoryStream& source, uint64_t offset,
                                                                          uint64_t size) {
  const uint8_t* first = size > 0 ? source.Memory() + offset : nullptr;
  std::unique_ptr<TResourceDetails> details = CreateForBytes(AParent, ALanguage, AName, AType, size, first);
  if (size > 0) details->fData.AssignRange(source, static_cast<size_t>(offset), static_cast<size_t>(size));
  return details;
}

std::unique_ptr<TResourceDetails> TResourceDetails::CreateResourceDetails(TResourceModule* AParent, uint32_t ALanguage,
                                                                          const std::u16string& AName,
                                                                          const std::u16string& AType,
                                                                          const TSharedBytes& shared) {
  const uint64_t size = shared.bytes.size();
  std::unique_ptr<TResourceDetails> details =
      CreateForBytes(AParent, ALanguage, AName, AType, size, shared.bytes.data());
  if (size > 0) details->fData.AssignView(shared.owner, shared.bytes.data(), static_cast<size_t>(size));
  return details;
}

// ---- text classes ----

namespace {

bool IsTextUnit(uint32_t c) { return c == 9 || c == 10 || c == 13 || (c >= 32 && c <= 127); }

// Whether the n units (bytes, or UTF-16LE units) at data are all text.
template <class Unit>
bool AllTextUnits(const uint8_t* data, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const uint32_t unit = sizeof(Unit) == 1 ? data[i] : getU16LE(data + 2 * i);
    if (!IsTextUnit(unit)) return false;
  }
  return true;
}

}  // namespace

bool TAnsiResourceDetails::AcceptsData(int64_t ASize, const uint8_t* AData) {
  if (ASize <= 0 || AData == nullptr) return false;
  return AllTextUnits<uint8_t>(AData, std::min<int64_t>(ASize, 1024));
}

bool TUnicodeResourceDetails::AcceptsData(int64_t ASize, const uint8_t* AData) {
  if (ASize <= 5 || AData == nullptr) return false;
  int64_t units = ASize / 2;
  return AllTextUnits<uint16_t>(AData, std::min<int64_t>(units - 2, 1023));
}

std::string TAnsiResourceDetails::GetText() {
  TMemoryStream& d = RawData();
  d.SetPosition(0);
  // The bytes already are ANSI (UTF-8) text; a zero byte is part of the text too.
  return std::string(reinterpret_cast<const char*>(std::as_const(d).Memory()), d.ByteSize());
}

void TAnsiResourceDetails::SetText(const std::string& text) {
  TMemoryStream& d = RawData();
  d.Clear();
  d.Write(text.data(), static_cast<int64_t>(text.size()));
}

std::u16string TUnicodeResourceDetails::GetText() {
  const TMemoryStream& d = RawData();
  std::u16string text(d.ByteSize() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = getU16LE(d.Memory() + 2 * i);
  return text;
}

void TUnicodeResourceDetails::SetText(const std::u16string& text) {
  TMemoryStream& d = RawData();
  d.Clear();
  std::vector<uint8_t> bytes(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) putU16LE(bytes.data() + 2 * i, text[i]);
  d.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// ---- unit routines ----

int32_t ResourceNameToInt(const std::u16string& s) {
  if (s.empty()) return -1;
  for (char16_t c : s)
    if (c < u'0' || c > u'9') return -1;
  int64_t value = 0;
  for (char16_t c : s) {
    value = value * 10 + (c - u'0');
    if (value > 2147483647) RaiseInvalidInteger(s);
  }
  return static_cast<int32_t>(value);
}

namespace {

char16_t FoldAsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

int CompareTextIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t ca = FoldAsciiUpper(a[i]), cb = FoldAsciiUpper(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// ia and ib: ResourceNameToInt of a and b.
int CompareIdentity(const std::u16string& a, int32_t ia, const std::u16string& b, int32_t ib) {
  if (ia >= 0 && ib >= 0) return ia < ib ? -1 : ia > ib ? 1 : 0;
  if (ia >= 0) return 1;
  if (ib >= 0) return -1;
  return CompareTextIgnoringAsciiCase(a, b);
}

}  // namespace

int CompareDetails(const TResourceDetails& a, const TResourceDetails& b) {
  int result = CompareIdentity(a.ResourceType(), ResourceNameToInt(a.ResourceType()), b.ResourceType(),
                               ResourceNameToInt(b.ResourceType()));
  if (result != 0) return result;
  return CompareIdentity(a.ResourceName(), ResourceNameToInt(a.ResourceName()), b.ResourceName(),
                         ResourceNameToInt(b.ResourceName()));
}

void SortDetailsList(TOwningList<TResourceDetails>& list) {
  // Each identifier is read as a number once, not once per comparison; one the
  // comparison would refuse is refused here, before anything moves.
  struct TSortKey {
    const TResourceDetails* details;
    int32_t type, name;
  };
  std::vector<TSortKey> keys;
  keys.reserve(static_cast<size_t>(list.Count()));
  for (const auto& d : list)
    keys.push_back({d.get(), ResourceNameToInt(d->ResourceType()), ResourceNameToInt(d->ResourceName())});
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto before = [&](size_t i, size_t j) {
    const TSortKey& a = keys[i];
    const TSortKey& b = keys[j];
    int result = CompareIdentity(a.details->ResourceType(), a.type, b.details->ResourceType(), b.type);
    if (result == 0) result = CompareIdentity(a.details->ResourceName(), a.name, b.details->ResourceName(), b.name);
    return result < 0;
  };
  // Stable, as CompareDetails orders them: resources differing only in language keep
  // their order.
  SortMostlySorted(order.begin(), order.end(), before);
  list.Permute(order);
}

int32_t LanguageToCodePage(uint32_t language) { return platform::DefaultAnsiCodePage(language); }

std::string ReadCountedAnsiString(const uint8_t*& cursor, uint32_t codePage) {
  uint16_t n = getU16LE(cursor);
  cursor += 2;
  std::u16string wide(n, u'\0');
  for (uint16_t i = 0; i < n; ++i) wide[i] = getU16LE(cursor + 2 * size_t(i));
  cursor += 2 * static_cast<size_t>(n);
  return platform::WideCharToMultiByte(codePage, wide);
}

// ---- TResourceModule ----

int TResourceModule::GetResourceCount() const { RaiseAbstractError(); }
TResourceDetails* TResourceModule::GetResourceDetails(int) const { RaiseAbstractError(); }
int TResourceModule::IndexOfResource(const TResourceDetails*) const { RaiseAbstractError(); }

void TResourceModule::DeleteResource(int idx) {
  fDirty = true;
  ResourceDetails(idx)->BeforeDelete();
}

void TResourceModule::InsertResource(int, std::unique_ptr<TResourceDetails>) {}
int TResourceModule::AddResource(std::unique_ptr<TResourceDetails>) { return -1; }

void TResourceModule::SaveToStream(TStream&) { throw Exception(LoadResString(StrId::NoStreaming)); }
void TResourceModule::LoadFromStream(TStream&) { throw Exception(LoadResString(StrId::NoStreaming)); }

void TResourceModule::LoadFromFile(const std::u16string& FileName) {
  platform::TFileStream file(FileName, platform::TFileMode::fmOpenRead);
  LoadFromStream(file);
}

TResourceDetails* TResourceModule::FindResource(const std::u16string& tp, const std::u16string& Name,
                                                uint32_t ALanguage) const {
  int count = ResourceCount();
  for (int i = 0; i < count; ++i) {
    TResourceDetails* d = ResourceDetails(i);
    if (d->ResourceType() == tp && d->ResourceName() == Name && d->ResourceLanguage() == ALanguage) return d;
  }
  for (int i = 0; i < count; ++i) {
    TResourceDetails* d = ResourceDetails(i);
    if (d->ResourceType() == tp && d->ResourceName() == Name && d->ResourceLanguage() == 0) return d;
  }
  return nullptr;
}

std::u16string TResourceModule::GetUniqueResourceName(const std::u16string& tp) const {
  int64_t highest = 0;
  for (int i = 0; i < ResourceCount(); ++i) {
    TResourceDetails* d = ResourceDetails(i);
    if (d->ResourceType() == tp) highest = std::max<int64_t>(highest, ResourceNameToInt(d->ResourceName()));
  }
  return ToU16(std::to_string(highest + 1));
}

bool TResourceModule::GetDirty() const {
  if (fDirty) return true;
  for (int i = 0; i < ResourceCount(); ++i)
    if (ResourceDetails(i)->Dirty()) return true;
  return false;
}

void TResourceModule::ClearDirty() {
  fDirty = false;
  for (int i = 0; i < ResourceCount(); ++i) ResourceDetails(i)->SetDirty(false);
}

std::u16string BackupFileName(const std::u16string& FileName) {
  size_t dot = FileName.rfind(u'.');
  if (dot == std::u16string::npos) return FileName + u".~";
  return FileName.substr(0, dot) + u".~" + FileName.substr(dot + 1);
}

namespace {

// A new file beside the target, created exclusively so nothing else is touched.
// A failure is reported for the target: that is the file the user asked for.
std::unique_ptr<platform::TFileStream> CreateTemporaryFile(const std::u16string& FileName, std::u16string& tempName) {
  for (unsigned attempt = 0;; ++attempt) {
    tempName = platform::TemporarySibling(FileName, attempt);
    int error = 0;
    if (auto stream = platform::TFileStream::CreateNewOrNull(tempName, error)) return stream;
    if (error != EEXIST || attempt >= 100) platform::RaiseCreateError(FileName, error);
  }
}

}  // namespace

// The new content goes to a temporary file first; only once it is complete and
// closed do the renames run, so at no moment is the previous content under
// neither name, and a failed write leaves everything as it was.
void TResourceModule::SaveToFile(const std::u16string& FileName) {
  // A directory in the way would otherwise be renamed to the backup name.
  if (platform::DirectoryExists(FileName)) platform::RaiseCreateError(FileName, EISDIR);
  std::u16string backupName = BackupFileName(FileName);
  std::u16string tempName;
  std::unique_ptr<platform::TFileStream> temp = CreateTemporaryFile(FileName, tempName);
  temp->TakePermissionsOf(FileName);  // an executable stays executable
  try {
    SaveToStream(*temp);
    temp->Close();
  } catch (...) {
    temp.reset();
    platform::DeleteFile(tempName);
    throw;
  }
  temp.reset();

  platform::ReplaceKeepingBackup(tempName, FileName, backupName);
  ClearDirty();
}

}  // namespace tolvane
