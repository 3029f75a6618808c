#include "builders/ImageFiles.h"

#include "builders/TestFiles.h"

namespace tolvane::test {

std::string FixturePath(const std::string& name) { return std::string(TOLVANE_FIXTURES) + "/" + name; }

std::unique_ptr<TPEResourceModule> LoadImageBytes(const std::vector<uint8_t>& bytes) {
  auto image = std::make_unique<TPEResourceModule>();
  image->LoadFromBytes(ByteView(bytes.data(), bytes.size()));
  return image;
}

std::unique_ptr<TPEResourceModule> LoadImageFile(const std::string& path) { return LoadImageBytes(ReadFileBytes(path)); }

std::vector<uint8_t> SaveImage(TPEResourceModule& image) {
  TMemoryStream out;
  image.SaveToStream(out);
  return out.Bytes();
}

std::vector<ResourceKey> ResourcesOf(const TResourceModule& module) {
  std::vector<ResourceKey> keys;
  for (int i = 0; i < module.ResourceCount(); ++i) {
    TResourceDetails* d = module.ResourceDetails(i);
    keys.push_back({d->ResourceType(), d->ResourceName(), d->ResourceLanguage(), d->RawData().Bytes()});
  }
  return keys;
}

void AddResource(TPEResourceModule& image, const std::u16string& type, const std::u16string& name, uint32_t language,
                 const std::vector<uint8_t>& bytes) {
  image.AddResource(TResourceDetails::CreateResourceDetails(&image, language, name, type,
                                                            static_cast<int64_t>(bytes.size()), bytes.data()));
}

}  // namespace tolvane::test
