// Loading, saving and inspecting whole images in tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "unitPEFile.h"

namespace tolvane::test {

std::string FixturePath(const std::string& name);
std::unique_ptr<TPEResourceModule> LoadImageFile(const std::string& path);
std::unique_ptr<TPEResourceModule> LoadImageBytes(const std::vector<uint8_t>& bytes);
// The image as SaveToStream writes it.
std::vector<uint8_t> SaveImage(TPEResourceModule& image);

// One resource of an image, as the tests compare them.
struct ResourceKey {
  std::u16string type, name;
  uint32_t language;
  std::vector<uint8_t> bytes;
  bool operator==(const ResourceKey&) const = default;
};
std::vector<ResourceKey> ResourcesOf(const TResourceModule& module);

// Adds a resource as the combination does.
void AddResource(TPEResourceModule& image, const std::u16string& type, const std::u16string& name, uint32_t language,
                 const std::vector<uint8_t>& bytes);

}  // namespace tolvane::test
