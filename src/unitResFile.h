// .RES files: a resource module backed by a plain owning list (TResourceList) and
// the compiled resource file format on top of it (TResModule).
#pragma once

#include "support/OwningList.h"
#include "unitResourceDetails.h"

namespace tolvane {

class TResourceList : public TResourceModule {
public:
  int GetResourceCount() const override { return fResourceList.Count(); }
  void DeleteResource(int idx) override;
  void InsertResource(int idx, std::unique_ptr<TResourceDetails> details) override;
  int AddResource(std::unique_ptr<TResourceDetails> details) override;
  int IndexOfResource(const TResourceDetails* details) const override;
  void SortResources() override;

  // Replaces the content with copies of src's resources (type, name, language, bytes).
  void Assign(const TResourceModule& src);

protected:
  TResourceDetails* GetResourceDetails(int idx) const override { return fResourceList[idx]; }

  TOwningList<TResourceDetails> fResourceList;
};

class TResModule : public TResourceList {
public:
  // Maps the file: the resources view its bytes until written to.
  void LoadFromFile(const std::u16string& FileName) override;
  void LoadFromStream(TStream& stream) override;
  void SaveToStream(TStream& stream) override;
  // Decodes a whole .RES file held in memory and appends its resources.
  void LoadFromBytes(ByteView bytes);
  // The same for bytes that owner keeps alive and unchanged: the resources view them.
  void LoadFromSharedBytes(TBytesOwner owner, ByteView bytes);

  bool Is16Bit() const { return f16Bit; }

private:
  // Appends the resources of a whole file: they view its bytes while its owner keeps them.
  void DecodeFile(const TSharedBytes& file);
  // The resource of one record, or null for the leading empty record (which sets sawEmptyRecord).
  std::unique_ptr<TResourceDetails> DecodeRecord(const TSharedBytes& file, uint64_t& offset, bool& sawEmptyRecord);
  void WriteRecord(TStream& stream, TResourceDetails& details);

  bool f16Bit = false;
};

}  // namespace tolvane
