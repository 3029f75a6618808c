// Writes the inputs of the benchmarks with our own classes: an image made from a
// small real one with COUNT generated resources merged in (the .reloc section that
// follows .rsrc moves behind the grown section), and a .RES of RES_COUNT resources,
// half of which replace resources of the image and half of which are new.
//
//   make_bench_inputs BASE.exe OUT.exe OUT.res COUNT IMAGE_BYTES [RES_COUNT [RES_BYTES]]
//
// RES_COUNT defaults to COUNT / 2, RES_BYTES to the same bytes per resource as the
// image. Sizes are log-uniform between 16 bytes and 64 KiB, scaled to the totals;
// everything is drawn from a fixed seed, so the same arguments give the same files.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "StringTable.h"
#include "platform/CodePages.h"
#include "unitPEFile.h"
#include "unitResFile.h"

using namespace tolvane;

namespace {

class TRandom {
public:
  explicit TRandom(uint64_t seed) : fState(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    fState ^= fState << 13;
    fState ^= fState >> 7;
    fState ^= fState << 17;
    return fState;
  }
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

private:
  uint64_t fState;
};

// Types the tools of the field do not decode, so any bytes are valid content.
const char16_t* const kTypes[] = {u"10", u"256", u"257", u"258", u"259", u"260", u"261", u"BLOB", u"TEXT", u"MEDIA"};
constexpr uint64_t kTypeCount = sizeof kTypes / sizeof kTypes[0];
constexpr uint64_t kFirstName = 1000;

struct TIdentity {
  std::u16string type, name;
  uint32_t language;
};

// Resource i of the image: types in turn, numeric names with every fourth one a
// string, and one language per name (some neutral, so the .RES can reach them
// through the language-0 fallback).
TIdentity ImageIdentity(uint64_t i) {
  uint64_t k = i / kTypeCount;
  TIdentity id;
  id.type = kTypes[i % kTypeCount];
  id.name = k % 4 == 3 ? ToU16("ITEM_" + std::to_string(k)) : ToU16(std::to_string(kFirstName + k));
  id.language = k % 7 == 0 ? 0 : k % 7 == 1 ? 1031 : 1033;
  return id;
}

std::vector<uint64_t> Sizes(TRandom& random, uint64_t count, uint64_t total) {
  std::vector<double> raw(count);
  double sum = 0;
  for (double& r : raw) {
    r = 16.0 * std::exp(random.Unit() * std::log(65536.0 / 16.0));
    sum += r;
  }
  std::vector<uint64_t> sizes(count);
  double scale = count == 0 ? 0 : static_cast<double>(total) / sum;
  for (uint64_t i = 0; i < count; ++i) sizes[i] = std::max<uint64_t>(1, static_cast<uint64_t>(raw[i] * scale));
  return sizes;
}

std::vector<uint8_t> Content(TRandom& random, uint64_t size, bool text) {
  std::vector<uint8_t> bytes(size);
  for (uint64_t i = 0; i < size; i += 8) {
    uint64_t v = random.Next();
    for (uint64_t j = i; j < size && j < i + 8; ++j, v >>= 8)
      bytes[j] = text ? static_cast<uint8_t>("abcdefghijklmnopqrstuvwxyz  .,\r\n"[v & 31]) : static_cast<uint8_t>(v);
  }
  return bytes;
}

void Add(TResourceModule& module, const TIdentity& id, const std::vector<uint8_t>& bytes) {
  module.AddResource(TResourceDetails::CreateResourceDetails(&module, id.language, id.name, id.type,
                                                             static_cast<int64_t>(bytes.size()), bytes.data()));
}

uint64_t Number(const char* text) { return std::strtoull(text, nullptr, 10); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || argc > 8) {
    std::fprintf(stderr, "usage: %s BASE.exe OUT.exe OUT.res COUNT IMAGE_BYTES [RES_COUNT [RES_BYTES]]\n", argv[0]);
    return 2;
  }
  const std::u16string base = platform::Utf8ToWide(argv[1]);
  const std::string outImage = argv[2], outRes = argv[3];
  const uint64_t count = Number(argv[4]), imageBytes = Number(argv[5]);
  const uint64_t resCount = argc > 6 ? Number(argv[6]) : count / 2;
  const uint64_t resBytes = argc > 7 ? Number(argv[7]) : (count == 0 ? 0 : imageBytes / count * resCount);
  try {
    TRandom random(count);
    // Our saves keep a backup of what they replace; the inputs are made anew instead.
    for (const std::string& path : {outImage, outRes}) std::filesystem::remove(path);

    TPEResourceModule image;
    image.AcceptPE32Plus(true);  // a PE32+ base makes the PE32+ row's image
    image.LoadFromFile(base);
    std::vector<uint64_t> sizes = Sizes(random, count, imageBytes);
    for (uint64_t i = 0; i < count; ++i) {
      TIdentity id = ImageIdentity(i);
      Add(image, id, Content(random, sizes[i], id.type == u"TEXT"));
    }
    image.SaveToFile(platform::Utf8ToWide(outImage));

    TResModule res;
    const uint64_t replaced = std::min(count, resCount / 2);
    sizes = Sizes(random, resCount, resBytes);
    for (uint64_t j = 0; j < resCount; ++j) {
      TIdentity id;
      if (j < replaced) {
        // Spread over the image; a neutral resource is reached from a real language.
        id = ImageIdentity(j * count / replaced);
        if (id.language == 0) id.language = 1033;
      } else {
        // Names past every name of the image: new resources.
        uint64_t n = j - replaced;
        id.type = kTypes[n % kTypeCount];
        id.name = ToU16(std::to_string(kFirstName + count / kTypeCount + 1 + n / kTypeCount));
        id.language = 1033;
      }
      Add(res, id, Content(random, sizes[j], id.type == u"TEXT"));
    }
    res.SaveToFile(platform::Utf8ToWide(outRes));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
