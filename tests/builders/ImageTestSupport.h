// Small helpers shared by the image tests: loading built bytes into a module and
// checking the class and message of a refusal.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "builders/ImageBuilder.h"
#include "unitPEFile.h"

namespace tolvane::test {

template <class Module = TPEResourceModule>
std::unique_ptr<Module> LoadImage(const Bytes& bytes) {
  auto module = std::make_unique<Module>();
  module->LoadFromBytes(ByteView(bytes.data(), bytes.size()));
  return module;
}

template <class Module = TPEResourceModule>
std::unique_ptr<Module> LoadImage(const BuiltImage& image) {
  return LoadImage<Module>(image.bytes);
}

// The message of the E that f raises; a failure when it raises nothing or something else.
template <class E, class F>
std::string RefusalMessage(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "raised another exception: " << e.what();
    return "<other exception>";
  }
  ADD_FAILURE() << "raised nothing";
  return "<nothing>";
}

}  // namespace tolvane::test
