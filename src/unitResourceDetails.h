// The resource model: one resource in memory (TResourceDetails and its two text
// classes), the identity rule for types and names, and the abstract container of
// resources (TResourceModule) that every file kind presents.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/Exceptions.h"
#include "support/OwningList.h"
#include "support/Streams.h"

namespace tolvane {

class TResourceModule;
class TResourceDetails;

// A class reference: the class functions and virtual constructors of one details
// class, callable without an object.
struct TResourceDetailsClassInfo {
  const char* ClassName;
  std::u16string (*GetBaseType)();
  bool (*AcceptsData)(int64_t ASize, const uint8_t* AData);
  bool (*AcceptsRCData)(const std::u16string& AName, int64_t ASize, const uint8_t* AData);
  // Create: a complete resource, not added to AParent.
  std::unique_ptr<TResourceDetails> (*Create)(TResourceModule* AParent, uint32_t ALanguage, const std::u16string& AName,
                                              const std::u16string& AType, int64_t ASize, const uint8_t* AData);
  // CreateNew: an empty resource of the base type, handed to AParent (which owns it).
  TResourceDetails* (*CreateNew)(TResourceModule* AParent, uint32_t ALanguage, const std::u16string& AName);
  // CreateNew without a module: the caller owns the result.
  std::unique_ptr<TResourceDetails> (*CreateNewDetached)(uint32_t ALanguage, const std::u16string& AName);
};
using TResourceDetailsClass = const TResourceDetailsClassInfo*;

class TResourceDetails {
public:
  // Use the class functions (Create, CreateNew, CreateResourceDetails): they run the
  // PrepareNewData hook, which a C++ constructor cannot dispatch.
  TResourceDetails(TResourceModule* AParent, uint32_t ALanguage, std::u16string AName, std::u16string AType);
  virtual ~TResourceDetails();
  TResourceDetails(const TResourceDetails&) = delete;
  TResourceDetails& operator=(const TResourceDetails&) = delete;

  virtual TResourceDetailsClass ClassType() const;
  static const TResourceDetailsClassInfo ClassInfo;

  static std::unique_ptr<TResourceDetails> Create(TResourceModule* AParent, uint32_t ALanguage,
                                                  const std::u16string& AName, const std::u16string& AType,
                                                  int64_t ASize, const uint8_t* AData);
  static std::u16string GetBaseType() { return u"0"; }
  static bool AcceptsData(int64_t, const uint8_t*) { return false; }
  static bool AcceptsRCData(const std::u16string&, int64_t, const uint8_t*) { return false; }

  // Chooses the class that suits the type and the bytes, and creates the resource
  // with a copy of the bytes. The result is not added to AParent.
  static std::unique_ptr<TResourceDetails> CreateResourceDetails(TResourceModule* AParent, uint32_t ALanguage,
                                                                 const std::u16string& AName,
                                                                 const std::u16string& AType, int64_t ASize,
                                                                 const uint8_t* AData);
  // The same with the bytes [offset, offset + size) of source, which must hold them:
  // shared while source is a view of a loaded file, copied otherwise.
  static std::unique_ptr<TResourceDetails> CreateResourceDetails(TResourceModule* AParent, uint32_t ALanguage,
                                                                 const std::u16string& AName,
                                                                 const std::u16string& AType,
                                                                 const TMemoryStream& source, uint64_t offset,
                                                                 uint64_t size);
  // The same with the bytes of shared: viewed while its owner keeps them, copied without one.
  static std::unique_ptr<TResourceDetails> CreateResourceDetails(TResourceModule* AParent, uint32_t ALanguage,
                                                                 const std::u16string& AName,
                                                                 const std::u16string& AType,
                                                                 const TSharedBytes& shared);
  static TResourceDetailsClass ChooseDetailsClass(const std::u16string& AName, const std::u16string& AType,
                                                  int64_t ASize, const uint8_t* AData);

  TResourceModule* Parent() const { return fParent; }
  TMemoryStream& data() { return GetData(); }
  TMemoryStream& RawData() { return fData; }
  const TMemoryStream& RawData() const { return fData; }

  const std::u16string& ResourceName() const { return fResourceName; }
  virtual void SetResourceName(const std::u16string& AName);
  const std::u16string& ResourceType() const { return fResourceType; }
  void SetResourceType(const std::u16string& AType);

  uint32_t ResourceLanguage() const { return fResourceLanguage; }
  void SetResourceLanguage(uint32_t value) { fResourceLanguage = value; }
  int32_t CodePage() const { return fCodePage; }
  void SetCodePage(int32_t value) { fCodePage = value; }
  uint32_t Characteristics() const { return fCharacteristics; }
  void SetCharacteristics(uint32_t value) { fCharacteristics = value; }
  uint32_t Version() const { return fVersion; }
  void SetVersion(uint32_t value) { fVersion = value; }
  uint32_t DataVersion() const { return fDataVersion; }
  void SetDataVersion(uint32_t value) { fDataVersion = value; }
  uint16_t MemoryFlags() const { return fMemoryFlags; }
  void SetMemoryFlags(uint16_t value) { fMemoryFlags = value; }
  bool Dirty() const { return fDirty; }
  void SetDirty(bool value) { fDirty = value; }
  int32_t Tag() const { return fTag; }
  void SetTag(int32_t value) { fTag = value; }

  virtual void BeforeDelete() {}
  // Replaces the bytes with a copy of all of newData, whatever its position.
  virtual void ChangeData(TMemoryStream& newData);

protected:
  virtual void PrepareNewData() {}
  virtual TMemoryStream& GetData() { return fData; }

  // The second half of Create: the bytes, or the hook when there are none.
  void InitData(int64_t ASize, const uint8_t* AData);
  // The second half of CreateNew, after the module has taken the object.
  void InitNewData();

  template <class T>
  friend struct TDetailsFactory;

private:
  TResourceModule* fParent;
  TMemoryStream fData;
  int32_t fCodePage;
  uint32_t fResourceLanguage;
  std::u16string fResourceName;
  std::u16string fResourceType;
  uint16_t fMemoryFlags = 0;
  uint32_t fDataVersion = 0;
  uint32_t fVersion = 0;
  uint32_t fCharacteristics = 0;
  bool fDirty = false;
  int32_t fTag = 0;
};

// 8-bit text resources; Text is the data in the system's ANSI code page.
class TAnsiResourceDetails : public TResourceDetails {
public:
  using TResourceDetails::TResourceDetails;
  TResourceDetailsClass ClassType() const override;
  // Each class has its own, on purpose: it is what ClassType answers for that class.
  // cppcheck-suppress duplInheritedMember
  static const TResourceDetailsClassInfo ClassInfo;
  static bool AcceptsData(int64_t ASize, const uint8_t* AData);

  std::string GetText();
  void SetText(const std::string& text);

protected:
  void PrepareNewData() override { RawData().Clear(); }
};

// UTF-16LE text resources.
class TUnicodeResourceDetails : public TResourceDetails {
public:
  using TResourceDetails::TResourceDetails;
  TResourceDetailsClass ClassType() const override;
  // Each class has its own, on purpose: it is what ClassType answers for that class.
  // cppcheck-suppress duplInheritedMember
  static const TResourceDetailsClassInfo ClassInfo;
  static bool AcceptsData(int64_t ASize, const uint8_t* AData);

  std::u16string GetText();
  void SetText(const std::u16string& text);

protected:
  void PrepareNewData() override { RawData().Clear(); }
};

// The process-wide registry that CreateResourceDetails consults before its fallback.
// Nothing registers a class, so it stays empty; it is kept for the choice rule.
std::vector<TResourceDetailsClass>& DetailsClassRegistry();

// -1 for a name; the value for a non-empty string of the digits 0 to 9.
// Raises EConvertError for a digit string above 2147483647.
int32_t ResourceNameToInt(const std::u16string& s);
// The sort order of resources: types, then names; names before numbers.
int CompareDetails(const TResourceDetails& a, const TResourceDetails& b);
// Sorts a list of details by CompareDetails; raises the conversion error, before
// anything moves, for a digit-only type or name beyond the signed 32-bit range.
void SortDetailsList(TOwningList<TResourceDetails>& list);
int32_t LanguageToCodePage(uint32_t language);
// Reads a u16 count and that many UTF-16 units at the cursor, advancing it, and
// gives the text in the given 8-bit code page. The cursor must have the bytes.
std::string ReadCountedAnsiString(const uint8_t*& cursor, uint32_t codePage);

// The abstract container of resource details, base of every file kind.
class TResourceModule {
public:
  TResourceModule() = default;
  virtual ~TResourceModule() = default;
  TResourceModule(const TResourceModule&) = delete;
  TResourceModule& operator=(const TResourceModule&) = delete;

  int ResourceCount() const { return GetResourceCount(); }
  TResourceDetails* ResourceDetails(int idx) const { return GetResourceDetails(idx); }

  virtual int GetResourceCount() const;
  virtual void DeleteResource(int idx);
  // The module owns what it is given; the base class keeps nothing, so it frees it.
  virtual void InsertResource(int idx, std::unique_ptr<TResourceDetails> details);
  virtual int AddResource(std::unique_ptr<TResourceDetails> details);
  virtual int IndexOfResource(const TResourceDetails* details) const;
  virtual void SaveToStream(TStream& stream);
  virtual void LoadFromStream(TStream& stream);
  void SaveToFile(const std::u16string& FileName);
  virtual void LoadFromFile(const std::u16string& FileName);
  virtual void SortResources() {}

  TResourceDetails* FindResource(const std::u16string& tp, const std::u16string& Name, uint32_t ALanguage) const;
  std::u16string GetUniqueResourceName(const std::u16string& tp) const;

  bool Dirty() const { return GetDirty(); }
  void SetDirty(bool value) { fDirty = value; }

protected:
  virtual TResourceDetails* GetResourceDetails(int idx) const;
  bool GetDirty() const;
  void ClearDirty();

private:
  bool fDirty = false;
};

// The backup name of a file a save replaces: "~" before the text after the last ".".
std::u16string BackupFileName(const std::u16string& FileName);

}  // namespace tolvane
