// The image writer judged, not only run. Each input picks a real image (or builds
// one) and a .RES file, changes both in ways the fuzzer chooses, merges them as -o
// does, and holds the image written against a small model of a right image kept
// apart from the writer: the merge rule, where every section goes, what moves with
// the sections, the bytes that must not change, the appended bytes, the checksum,
// and a second save that changes nothing. A refusal must be one the model expects,
// in one of the program's messages, with nothing written.
//
// The model reads images in WriterImageModel, resources in WriterResourceModel, and
// lays the image out, refusals and all, in WriterLayoutModel; WriterJudge holds the
// image written against it, WriterInputs makes the inputs. This file runs one input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "WriterFiles.h"
#include "WriterInputs.h"
#include "WriterJudge.h"
#include "WriterLayoutModel.h"
#include "builders/ResBuilder.h"
#include "platform/CodePages.h"
#include "tolvane.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane::fuzz {
namespace {

// Whether text is one of the program's messages, whatever stands for its %s, %d or %p.
bool IsProgramMessage(const std::u16string& text) {
  for (int id = 0; id < static_cast<int>(StrId::Count_); ++id) {
    const std::u16string& pattern = LoadResString(static_cast<StrId>(id));
    std::vector<std::u16string> pieces(1);
    for (size_t i = 0; i < pattern.size(); ++i) {
      if (pattern[i] == u'%' && i + 1 < pattern.size() &&
          std::u16string(u"sdp").find(pattern[i + 1]) != std::u16string::npos) {
        pieces.emplace_back();
        ++i;
      } else {
        pieces.back() += pattern[i];
      }
    }
    if (pieces.size() == 1) {
      if (text == pieces[0]) return true;
      continue;
    }
    // Literal pieces in order, the first at the start and the last at the end.
    if (text.compare(0, pieces.front().size(), pieces.front()) != 0) continue;
    if (text.size() < pieces.front().size() + pieces.back().size()) continue;
    size_t at = pieces.front().size();
    const size_t last = text.size() - pieces.back().size();
    if (text.compare(last, std::u16string::npos, pieces.back()) != 0) continue;
    bool inOrder = true;
    for (size_t p = 1; p + 1 < pieces.size() && inOrder; ++p) {
      size_t found = text.find(pieces[p], at);
      inOrder = found != std::u16string::npos && found + pieces[p].size() <= last;
      at = inOrder ? found + pieces[p].size() : at;
    }
    if (inOrder) return true;
  }
  return false;
}

// A stream that gives views of what was written to it, as a file stream does by
// mapping the new file: the rebuilt resource section then views those bytes.
class TViewingStream : public TMemoryStream {
public:
  TBytesOwner ViewWritten(int64_t offset, size_t size, const uint8_t*& data) override {
    const std::vector<uint8_t>& all = TMemoryStream::Bytes();
    auto copy =
        std::make_shared<std::vector<uint8_t>>(all.begin() + offset, all.begin() + offset + static_cast<int64_t>(size));
    data = copy->data();
    return copy;
  }
};

// A stream that takes only so many bytes, as a full disk does.
class TFailingStream : public TMemoryStream {
public:
  explicit TFailingStream(uint64_t limit) : fLimit(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    count = std::min<int64_t>(count, static_cast<int64_t>(fLimit - std::min(fLimit, fTaken)));
    fTaken += static_cast<uint64_t>(count);
    return TMemoryStream::Write(buffer, count);
  }

private:
  uint64_t fLimit, fTaken = 0;
};

// ---- statistics, for tuning the generator (TOLVANE_FUZZ_STATS=1) ----

struct TStats {
  uint64_t runs = 0, imageRefused = 0, resRefused = 0, written = 0, layoutRefused = 0;
  std::map<std::string, uint64_t> refusals;
  ~TStats() {
    if (std::getenv("TOLVANE_FUZZ_STATS") == nullptr || runs == 0) return;
    std::fprintf(stderr, "writer: %llu runs, %llu images refused, %llu .RES refused, %llu written, %llu refused\n",
                 (unsigned long long)runs, (unsigned long long)imageRefused, (unsigned long long)resRefused,
                 (unsigned long long)written, (unsigned long long)layoutRefused);
    for (const auto& [message, count] : refusals)
      std::fprintf(stderr, "  %8llu %s\n", (unsigned long long)count, message.c_str());
  }
} gStats;

void CountRefusal(const char* where, const Exception& e) {
  if (!IsProgramMessage(e.Message()))
    Wrong("a refusal that is not one of the program's messages", "%s: %s", where, e.what());
  std::string m = std::string(where) + ": " + e.what();
  gStats.refusals[m.substr(0, 90)]++;
}

// TOLVANE_FUZZ_DUMP=DIR keeps the files of the input last run there (image.exe,
// input.res, written.exe, again.exe), to look at a failure with other tools.
void Dump(const char* name, const Bytes& bytes) {
  const char* dir = std::getenv("TOLVANE_FUZZ_DUMP");
  if (dir == nullptr) return;
  std::string path = std::string(dir) + "/" + name;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

// Reported faults that a long campaign may pass over, to go on looking for others:
// TOLVANE_FUZZ_KNOWN=tag,tag. Each tag names a finding and its regression input;
// without the variable (run.sh, make test) every check holds.
//   unwritten-headers  tests/regressions/combine-section-without-size-counted-in-the-headers.bin
//                      (by design: the next save may differ in SizeOfHeaders and CheckSum only)
bool Known(const char* tag) {
  static const std::string known =
      std::getenv("TOLVANE_FUZZ_KNOWN") != nullptr ? std::getenv("TOLVANE_FUZZ_KNOWN") : "";
  return known.find(tag) != std::string::npos;
}

}  // namespace
}  // namespace tolvane::fuzz

using namespace tolvane;
using namespace tolvane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  gStats.runs++;
  const bool asItIs = IsPairAsItIs(data, size);
  const TCombinationInput pair(data, size);
  auto input = std::make_shared<Bytes>();
  size_t resChoice = kWriterResFileCount;
  if (asItIs) {
    input->assign(pair.Image().data(), pair.Image().data() + pair.Image().size());
  } else {
    const size_t imageChoice = in.ConsumeIntegralInRange<size_t>(0, kWriterImageCount);
    resChoice = in.ConsumeIntegralInRange<size_t>(0, kWriterResFileCount);  // the last: none
    if (imageChoice == kWriterImageBuilt) {
      *input = BuildImage(in);
    } else {
      const TEmbeddedFile& file = kWriterImages[imageChoice < kWriterImageBuilt ? imageChoice : imageChoice - 1];
      input->assign(file.data, file.data + file.size);
    }
    Mutate(in, *input);
  }
  Dump("image.exe", *input);
  const bool mapped = asItIs || !in.ConsumeBool();  // as the program maps its inputs, or copied

  // PE32+ images are read as -64 reads them, by the same rules as PE32 ones.
  TPEResourceModule image;
  image.AcceptPE32Plus(true);
  try {
    if (mapped)
      image.LoadFromSharedBytes(input, ByteView(input->data(), input->size()));
    else
      image.LoadFromBytes(ByteView(input->data(), input->size()));
  } catch (const Exception& e) {
    gStats.imageRefused++;
    CountRefusal("image", e);
    return 0;
  }

  TCase c;
  c.input = input.get();
  if (!c.old.Parse(*input)) Wrong("model: an image the program loads has no headers for the model", "%s", "");
  std::vector<Bytes> imageBytes(static_cast<size_t>(image.ResourceCount()));
  for (int i = 0; i < image.ResourceCount(); ++i) {
    const TResourceDetails* d = image.ResourceDetails(i);
    ByteView v = d->RawData().View();
    imageBytes[static_cast<size_t>(i)].assign(v.data(), v.data() + v.size());
    c.imageResources.push_back({d->ResourceType(), d->ResourceName(), d->ResourceLanguage(),
                                &imageBytes[static_cast<size_t>(i)], d->CodePage(), true});
  }

  // The .RES: a fixture as it is (or nothing), then the fuzzer's records.
  std::vector<TRecord> records;
  test::ResBuilder file;
  if (asItIs) {
    file.Raw(Bytes(pair.Res().data(), pair.Res().data() + pair.Res().size()));
  } else if (resChoice < kWriterResFileCount) {
    records = BaseRecords(resChoice);
    file.Raw(Bytes(kWriterResFiles[resChoice].data, kWriterResFiles[resChoice].data + kWriterResFiles[resChoice].size));
  } else if (in.ConsumeBool()) {
    file.EmptyRecord();
  }
  if (!asItIs) AddRecords(in, c.imageResources, file, records);
  auto resBytes = std::make_shared<Bytes>(file.Bytes());
  Dump("input.res", *resBytes);
  TResModule res;
  try {
    if (!asItIs && in.ConsumeBool())
      res.LoadFromBytes(ByteView(resBytes->data(), resBytes->size()));
    else
      res.LoadFromSharedBytes(resBytes, ByteView(resBytes->data(), resBytes->size()));
  } catch (const Exception& e) {
    gStats.resRefused++;
    CountRefusal(".RES", e);
    return 0;
  }
  if (asItIs) records = RecordsOf(res);
  if (res.ResourceCount() != static_cast<int>(records.size()))
    Wrong("model: the .RES reader found another number of records", "%d, expected %zu", res.ResourceCount(),
          records.size());

  try {
    MergeInto(image, res);
  } catch (const Exception& e) {
    Wrong("the merge refused", "%s", e.what());
  }

  // The model: the merge, the directory it writes, the refusals it expects, the layout.
  c.merged = Merged(c.imageResources, records);
  const std::set<std::u16string> refusals = PlanWrite(c);

  // Into memory; or into a stream that gives views of what it took, as a file does;
  // or into one that takes only part of the image.
  const int streamKind = asItIs ? 0 : in.ConsumeIntegralInRange<int>(0, 7);
  const uint64_t expectedSize = c.plan.end + (input->size() - c.old.sectionsEnd);
  std::unique_ptr<TMemoryStream> stream;
  if (streamKind == 6)
    stream = std::make_unique<TViewingStream>();
  else if (streamKind == 7)
    stream = std::make_unique<TFailingStream>(expectedSize * in.ConsumeIntegralInRange<uint64_t>(0, 256) / 256);
  else
    stream = std::make_unique<TMemoryStream>();
  try {
    image.SaveToStream(*stream);
  } catch (const Exception& e) {
    if (streamKind == 7 && refusals.empty() && e.Message() == Message(StrId::StreamWriteError)) {
      // A failed write leaves the image as its layout made it: written again, it is
      // the image the model expects.
      stream = std::make_unique<TMemoryStream>();
      try {
        image.SaveToStream(*stream);
      } catch (const Exception& again) {
        Wrong("after a failed write the image cannot be written", "%s", again.what());
      }
    } else {
      gStats.layoutRefused++;
      CountRefusal("write", e);
      if (stream->Size() != 0) Wrong("bytes written before a refusal", "%lld: %s", (long long)stream->Size(), e.what());
      if (refusals.count(e.Message()) == 0) {
        std::string expected;
        for (const std::u16string& m : refusals) expected += " [" + platform::WideToUtf8(m) + "]";
        Wrong("a refusal the model does not expect", "%s; expected:%s", e.what(), expected.c_str());
      }
      return 0;
    }
  }
  if (!refusals.empty())
    Wrong("written, but the model expects a refusal", "%s", platform::WideToUtf8(*refusals.begin()).c_str());
  gStats.written++;
  const TMemoryStream& out = *stream;

  const Bytes& written = out.Bytes();
  Dump("written.exe", written);
  CheckWritten(c, written);
  TPEResourceModule again;
  again.AcceptPE32Plus(true);
  MustLoad(again, out);
  CheckResources(c, again);
  TMemoryStream second;
  try {
    again.SaveToStream(second);
  } catch (const Exception& e) {
    Wrong("the image written cannot be written again", "%s", e.what());
  }
  if (streamKind == 6) {
    // The resource section now views the bytes written; written again, the image is the same.
    TMemoryStream third;
    image.SaveToStream(third);
    if (third.Bytes() != written) Wrong("the image written twice from one module differs", "%s", "");
  }
  Dump("again.exe", second.Bytes());
  CheckSavedAgain(c, written, second.Bytes(), Known("unwritten-headers"));
  return 0;
}
