#include "builders/ImageFiles.h"

#include <algorithm>
#include <fstream>

#include "support/LittleEndian.h"

namespace tolvane::test {

std::unique_ptr<TResModule> LoadRes(const Bytes& bytes) {
  auto res = std::make_unique<TResModule>();
  res->LoadFromBytes(ByteView(bytes.data(), bytes.size()));
  return res;
}

std::unique_ptr<TPEResourceModule> LoadImageFile(const std::string& path) { return LoadImage(ReadFileBytes(path)); }
std::unique_ptr<TResModule> LoadResFile(const std::string& path) { return LoadRes(ReadFileBytes(path)); }

Bytes SaveToBytes(TResourceModule& module) {
  TMemoryStream out;
  module.SaveToStream(out);
  return out.Bytes();
}

Thrown SaveRefusal(TResourceModule& module) {
  TMemoryStream out;
  Thrown t = Capture([&] { module.SaveToStream(out); });
  EXPECT_TRUE(t.thrown) << "the save was not refused";
  EXPECT_EQ(out.Size(), 0) << "the refused save wrote bytes first";
  return t;
}

std::vector<ResourceKey> ResourcesOf(const TResourceModule& module) {
  std::vector<ResourceKey> keys;
  for (int i = 0; i < module.ResourceCount(); ++i) {
    TResourceDetails* d = module.ResourceDetails(i);
    keys.push_back({d->ResourceType(), d->ResourceName(), d->ResourceLanguage(), d->RawData().Bytes()});
  }
  return keys;
}

std::vector<ResourceKey> Sorted(std::vector<ResourceKey> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

TResourceDetails* AddResource(TResourceModule& module, const std::u16string& type, const std::u16string& name,
                              uint32_t language, const Bytes& bytes) {
  static const uint8_t kNone = 0;
  auto d = TResourceDetails::CreateResourceDetails(&module, language, name, type, static_cast<int64_t>(bytes.size()),
                                                   bytes.empty() ? &kNone : bytes.data());
  TResourceDetails* added = d.get();
  module.AddResource(std::move(d));
  return added;
}

ImageKind KindOfImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint8_t dos[64], pe[26];
  if (!in.read(reinterpret_cast<char*>(dos), sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
    return ImageKind::NotAnImage;
  in.seekg(getU32LE(dos + 60));
  if (!in.read(reinterpret_cast<char*>(pe), sizeof pe) || getU32LE(pe) != 0x4550) return ImageKind::NotAnImage;
  switch (getU16LE(pe + 24)) {
    case 0x10B:
      return ImageKind::PE32;
    case 0x20B:
      return ImageKind::PE32Plus;
    default:
      return ImageKind::NotAnImage;
  }
}

std::vector<std::string> ForImage(std::vector<std::string> args, const std::string& image) {
  if (KindOfImageFile(image) == ImageKind::PE32Plus) args.push_back("-64");
  return args;
}

uint32_t DataDirectoriesAt(const Bytes& image) {
  const uint32_t optionalHeader = getU32LE(&image[60]) + 24;
  return optionalHeader + (getU16LE(&image[optionalHeader]) == 0x20B ? 112 : 96);
}

std::string WriteMegabyteRes(const ScratchDir& dir) {
  TResModule res;
  AddResource(res, u"10", u"999", 1033, Bytes(1 << 20, 0x5A));
  res.SaveToFile(dir.file16("megabyte.res"));
  return dir.file("megabyte.res");
}

}  // namespace tolvane::test
