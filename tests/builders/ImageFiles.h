// Loading, saving and inspecting whole images and .RES files in tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "builders/ImageBuilder.h"
#include "builders/TestFiles.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane::test {

// An image read from bytes, as TPEModule or TPEResourceModule, PE32 or PE32+ (as
// with -64; the refusal without it is the program's, tested where it runs).
template <class Module = TPEResourceModule>
std::unique_ptr<Module> LoadImage(const Bytes& bytes) {
  auto module = std::make_unique<Module>();
  module->AcceptPE32Plus(true);
  module->LoadFromBytes(ByteView(bytes.data(), bytes.size()));
  return module;
}

template <class Module = TPEResourceModule>
std::unique_ptr<Module> LoadImage(const BuiltImage& image) {
  return LoadImage<Module>(image.bytes);
}

std::unique_ptr<TResModule> LoadRes(const Bytes& bytes);
std::unique_ptr<TPEResourceModule> LoadImageFile(const std::string& path);
std::unique_ptr<TResModule> LoadResFile(const std::string& path);

// The module as SaveToStream writes it.
Bytes SaveToBytes(TResourceModule& module);
// What a save that must be refused raised; a failure when it wrote anything first.
Thrown SaveRefusal(TResourceModule& module);

// One resource of a module, as the tests compare them.
struct ResourceKey {
  std::u16string type, name;
  uint32_t language;
  Bytes bytes;
  auto operator<=>(const ResourceKey&) const = default;
};
std::vector<ResourceKey> ResourcesOf(const TResourceModule& module);
// Sorted by type, name, language and bytes, for comparing modules that order them differently.
std::vector<ResourceKey> Sorted(std::vector<ResourceKey> keys);

// Adds a resource as the combination does, of the class its bytes choose; empty bytes
// make an empty resource, not one whose class makes up content.
TResourceDetails* AddResource(TResourceModule& module, const std::u16string& type, const std::u16string& name,
                              uint32_t language, const Bytes& bytes);

// What an image file is, from its headers alone: the wine modules add up to half a
// gigabyte.
enum class ImageKind { PE32, PE32Plus, NotAnImage };
ImageKind KindOfImageFile(const std::string& path);
// tolvane's arguments for a job on image: args, with -64 where the image is PE32+.
std::vector<std::string> ForImage(std::vector<std::string> args, const std::string& image);
// The file offset of an image's first data directory entry; NumberOfRvaAndSizes
// precedes it. The optional header's magic says where: PE32+ has 16 more bytes.
uint32_t DataDirectoriesAt(const Bytes& image);

// A .RES of one resource, a megabyte of RCDATA: merged, it pushes .rsrc past its
// slot, so every section after it moves. Written into dir; gives its path.
std::string WriteMegabyteRes(const ScratchDir& dir);

}  // namespace tolvane::test
