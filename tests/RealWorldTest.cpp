// Images nobody here wrote: the PE32 and PE32+ modules of Debian packages — nsis's
// installer stubs and plugins (x86 and amd64), python3-distlib's script launchers,
// Wine's i386 and x86_64 modules — found on disk at test time. For every image of
// either kind, read by tolvane -64 where it is PE32+:
//   - extraction succeeds, and the .RES reads back with our reader and with windres,
//     listing the image's resources;
//   - merging our stamp (tests/realworld/realworld_stamp.res) and, separately, a
//     megabyte of RCDATA writes an image holding exactly what the merge rule says,
//     which pefile, readpe, llvm-readobj (its resources, and its symbols and unwind
//     data as it read them in the image we were given), osslsigncode and Mono accept
//     (Mono showing the stamped version where the stamp's is the only version
//     resource), or is refused with one of our messages, leaving nothing behind.
// Without -64 every PE32+ image is refused by both jobs, as it always was.
//
// The CTest tests are the same on every machine: shard k of kShards takes every
// kShards-th image of the sample, whatever is installed. The sample spreads evenly
// over each package family's sorted images (a third as many under the sanitizers);
// TOLVANE_REALWORLD_ALL=1 takes every image, TOLVANE_REALWORLD_ONLY=text every image
// whose label ("wine32 modules: cards.dll") holds the text. Each shard prints its
// figures as lines "REALWORLD <count> <what>"; the totals of a run, from the test
// binary (or from `ctest --test-dir build -L realworld -V | sed 's/^[0-9]*: //'`):
//
//   TOLVANE_REALWORLD_ALL=1 build/tests/tolvane_tests --gtest_filter='RealWorld*' |
//     awk '$1=="REALWORLD"{n=$2; $1=$2=""; t[substr($0,3)]+=n} END{for(k in t) print t[k] "\t" k}' | sort -t$'\t' -k2
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "StringTable.h"
#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/ResBuilder.h"
#include "builders/TestFiles.h"
#include "clients/Clients.h"
#include "support/LittleEndian.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

constexpr int kShards = 8;

// ---- the images ----

struct Family {
  const char* name;
  const char* package;  // the Debian package that installs the images
  const char* root;
  bool inSubdirectories;         // the images lie one directory below root
  const char* suffix;            // only file names ending so; "" for every file
  bool installedForTests;        // .ci/run installs the package; the others are taken when present
  int pe32Quota, pe32PlusQuota;  // images of each kind in the sample of a release build
};

// Wine's modules are the many and the varied ones (programs, libraries, drivers,
// 16-bit thunks, a type library, a theme); each family holds images of the kinds
// it has a quota for.
const Family kFamilies[] = {
    {"nsis stubs", "nsis", "/usr/share/nsis/Stubs", false, "", true, 4, 2},
    {"nsis plugins", "nsis", "/usr/share/nsis/Plugins", true, ".dll", true, 6, 2},
    {"distlib launchers", "python3-distlib", "/usr/lib/python3/dist-packages/distlib", false, ".exe", true, 2, 2},
    {"wine32 modules", "wine32", "/usr/lib/i386-linux-gnu/wine/i386-windows", false, "", true, 12, 0},
    {"wine64 modules", "wine64", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", false, "", true, 0, 6},
};
constexpr int kFamilyCount = static_cast<int>(std::size(kFamilies));

using Kind = ImageKind;

struct Image {
  int family;
  std::string path;
  std::string label;  // the family's name and the path below its root
  Kind kind;
};

std::string FamilyOf(const Image& image) { return kFamilies[image.family].name; }
// The family and the kind, as the figures count them: "wine64 modules: PE32+".
std::string FamilyAndKind(const Image& image) {
  return FamilyOf(image) + (image.kind == Kind::PE32Plus ? ": PE32+" : ": PE32");
}

bool FamilyInstalled(const Family& f) { return std::filesystem::is_directory(f.root); }

// Every image of a family, sorted by path.
std::vector<Image> ImagesOf(int family) {
  const Family& f = kFamilies[family];
  std::vector<std::string> paths;
  std::error_code error;
  auto take = [&](const std::filesystem::path& dir) {
    for (const auto& e : std::filesystem::directory_iterator(dir, error))
      if (e.is_regular_file() && e.path().filename().string().ends_with(f.suffix)) paths.push_back(e.path().string());
  };
  if (!FamilyInstalled(f)) return {};
  if (f.inSubdirectories) {
    for (const auto& e : std::filesystem::directory_iterator(f.root, error))
      if (e.is_directory()) take(e.path());
  } else {
    take(f.root);
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Image> images;
  for (const std::string& p : paths)
    images.push_back(
        {family, p, std::string(f.name) + ": " + p.substr(std::string(f.root).size() + 1), KindOfImageFile(p)});
  return images;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool RunEveryImage() {
  return Environment("TOLVANE_REALWORLD_ALL") == "1" || !Environment("TOLVANE_REALWORLD_ONLY").empty();
}

// Under the sanitizers every run of the program costs several times more.
int Scaled(int quota) { return TOLVANE_SANITIZED ? (quota + 2) / 3 : quota; }

// quota images of each kind spread evenly over the family's sorted list: the i-th
// from the middle of the i-th of quota equal stretches.
std::vector<Image> SampleOf(const std::vector<Image>& images, const Family& f) {
  std::vector<Image> sample;
  for (Kind kind : {Kind::PE32, Kind::PE32Plus}) {
    std::vector<const Image*> ofKind;
    for (const Image& i : images)
      if (i.kind == kind) ofKind.push_back(&i);
    const size_t n = ofKind.size();
    const int quota = kind == Kind::PE32 ? f.pe32Quota : f.pe32PlusQuota;
    const size_t taken = RunEveryImage() ? n : std::min(n, static_cast<size_t>(Scaled(quota)));
    for (size_t i = 0; i < taken; ++i) sample.push_back(*ofKind[(2 * i + 1) * n / (2 * taken)]);
  }
  std::sort(sample.begin(), sample.end(), [](const Image& a, const Image& b) { return a.path < b.path; });
  return sample;
}

// The same list in every process: families in table order, each by path.
const std::vector<Image>& TheSample() {
  static const std::vector<Image> sample = [] {
    std::vector<Image> all;
    for (int f = 0; f < kFamilyCount; ++f) {
      std::vector<Image> s = SampleOf(ImagesOf(f), kFamilies[f]);
      all.insert(all.end(), s.begin(), s.end());
    }
    const std::string only = Environment("TOLVANE_REALWORLD_ONLY");
    std::erase_if(all, [&](const Image& i) { return i.label.find(only) == std::string::npos; });
    return all;
  }();
  return sample;
}

// Images on which tolvane is known to fail a check, each with its fault, until the
// fault is fixed. They still run: a listed image that passes fails the test, so the
// entry goes when the fault does.
const std::map<std::string, std::string> kKnownFaults = {};

// Faults of tolvane that every image of a kind shows, each with the problem it
// makes and what makes an image of that kind, until the fault is fixed. Only that
// problem is excused, and an image of the kind that no longer shows it fails.
struct KnownFaultOfKind {
  const char* fault;
  const char* problem;  // the beginning of the problem's text
  bool (*shows)(const std::string& path);
};
const KnownFaultOfKind kKnownFaultsOfKind[] = {
    // The new section goes before .reloc and the debug sections, which MinGW's
    // symbols name by number.
    {"a new .rsrc section shifts the numbers of the sections after it in the section table, and the COFF symbol "
     "table's SectionNumber fields keep the old ones",
     "llvm-readobj symbols and unwind objects",
     [](const std::string& path) {
       try {
         auto image = LoadImageFile(path);
         return image->COFFHeader().NumberOfSymbols != 0 &&
                (image->DataDirectoryCount() <= 2 || image->DataDirectory(2).Size() == 0);
       } catch (const std::exception&) {
         return false;
       }
     }},
};

// ---- figures ----

class Figures {
public:
  void Add(const std::string& what) { ++fCounts[what]; }

  // One line per figure, for a shell to sum over the shards, and the same as a
  // property of the test.
  void Report() const {
    std::string all;
    for (const auto& [what, n] : fCounts) {
      std::cout << "REALWORLD " << n << " " << what << "\n";
      all += (all.empty() ? "" : "; ") + what + ": " + std::to_string(n);
    }
    std::cout.flush();
    ::testing::Test::RecordProperty("figures", all);
  }

private:
  std::map<std::string, int> fCounts;
};

// ---- what tolvane says ----

std::string Narrow(const std::u16string& text) {
  std::string s;
  for (char16_t c : text) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s;
}

std::string Describe(const ResourceKey& k) {
  return Narrow(k.type) + "/" + Narrow(k.name) + "/" + std::to_string(k.language) + " (" +
         std::to_string(k.bytes.size()) + " bytes)";
}

// The last line of the error report: the message, with the period the report adds.
std::string RefusalOf(const RunResult& r) {
  std::istringstream lines(r.err);
  std::string last;
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) last = line;
  }
  return last;
}

// Whether message is one of our refusals of an image or a .RES: a string of the
// program's table, its %s and %d standing for any text.
bool IsOurRefusal(std::string message) {
  static const StrId kRefusals[] = {StrId::InvalidDosSignature,
                                    StrId::InvalidCoffSignature,
                                    StrId::InvalidWindowsImage,
                                    StrId::UnsupportedLanguageName,
                                    StrId::DataDirectoryIndex,
                                    StrId::StructureOutsideFile,
                                    StrId::SectionDataOutsideFile,
                                    StrId::ResourceDirectoryOutside,
                                    StrId::ResourceDirectoryCycle,
                                    StrId::StructureOutsideSection,
                                    StrId::ResourceDirectoryTooDeep,
                                    StrId::ResourceDataShared,
                                    StrId::ResourceDataTooLarge,
                                    StrId::ResourceDataBeforeLanguage,
                                    StrId::ResourceDataOutsideImage,
                                    StrId::OptionalHeaderTooSmall,
                                    StrId::BadAlignment,
                                    StrId::HeadersTooLong,
                                    StrId::TooManyEntries,
                                    StrId::SectionWouldMove,
                                    StrId::DiscardableCodeWouldMove,
                                    StrId::EntryPointSectionWouldMove,
                                    StrId::PatchedSectionWouldMove,
                                    StrId::PointedToSectionWouldMove,
                                    StrId::UnknownPointersSectionWouldMove,
                                    StrId::OffsetIntoRebuiltBytes,
                                    StrId::NoRoomForResourceSection,
                                    StrId::TooFewDataDirectories,
                                    StrId::LayoutOverflow,
                                    StrId::ResourceSectionShared,
                                    StrId::SectionsShareTheirBytes,
                                    StrId::FileAlignmentTooLarge,
                                    StrId::ResourceNameTooLong,
                                    StrId::ResourceSectionHoldsMore,
                                    StrId::ResLanguageTooWide,
                                    StrId::ResNameWithZero,
                                    StrId::ResNameStartingWithOrdinalMarker};
  if (message.ends_with('.')) message.pop_back();
  for (StrId id : kRefusals) {
    std::string format = Narrow(LoadResString(id));
    std::vector<std::string> pieces;
    for (size_t at = 0;;) {
      size_t hole = format.find('%', at);
      pieces.push_back(format.substr(at, hole == std::string::npos ? hole : hole - at));
      if (hole == std::string::npos) break;
      at = hole + 2;
    }
    if (pieces.size() == 1 ? message != pieces[0]
                           : !message.starts_with(pieces.front()) || !message.ends_with(pieces.back()))
      continue;
    size_t at = pieces.front().size();
    bool inOrder = true;
    for (size_t i = 1; i + 1 < pieces.size() && inOrder; ++i) {
      at = message.find(pieces[i], at);
      inOrder = at != std::string::npos;
      if (inOrder) at += pieces[i].size();
    }
    if (inOrder && at + pieces.back().size() <= message.size()) return true;
  }
  return false;
}

// ---- resources ----

// The merge rule as README.md states it: a resource of the .RES replaces the bytes
// of the first one of the image with its type, name and language, else of the
// first with its type and name in language 0; otherwise it is added.
std::vector<ResourceKey> MergedByTheRule(std::vector<ResourceKey> image, const std::vector<ResourceKey>& res) {
  for (const ResourceKey& r : res) {
    auto in = [&](uint32_t language) {
      return std::find_if(image.begin(), image.end(), [&](const ResourceKey& k) {
        return k.type == r.type && k.name == r.name && k.language == language;
      });
    };
    auto it = in(r.language);
    if (it == image.end()) it = in(0);
    if (it != image.end())
      it->bytes = r.bytes;
    else
      image.push_back(r);
  }
  return image;
}

// "" when both list the same resources; else the first difference.
std::string Difference(const std::vector<ResourceKey>& expected, const std::vector<ResourceKey>& got,
                       bool withBytes = true) {
  auto same = [&](const ResourceKey& a, const ResourceKey& b) {
    return a.type == b.type && a.name == b.name && a.language == b.language && (!withBytes || a.bytes == b.bytes);
  };
  for (size_t i = 0; i < std::min(expected.size(), got.size()); ++i)
    if (!same(expected[i], got[i])) return "expected " + Describe(expected[i]) + ", got " + Describe(got[i]);
  if (expected.size() != got.size())
    return std::to_string(expected.size()) + " resources expected, " + std::to_string(got.size()) + " listed";
  return "";
}

// ---- the other sections ----

struct SectionBytes {
  std::string name;
  std::vector<uint8_t> bytes;
};

// The sections of an image file but the one holding the resource directory, each
// with the bytes its header gives it, up to its virtual size; read here field by
// field, apart from the reader under test. The debug directory's records are left
// out (as zeros): they hold file offsets, which move with the sections they point to.
std::vector<SectionBytes> SectionsBesideResources(const std::vector<uint8_t>& file) {
  auto at = [&](size_t offset, int bytes) -> uint32_t {
    if (offset + bytes > file.size()) return 0;
    return bytes == 2 ? getU16LE(&file[offset]) : getU32LE(&file[offset]);
  };
  const size_t coff = at(60, 4) + 4, optional = coff + 20;
  const size_t entries = DataDirectoriesAt(file);
  const uint32_t directories = at(entries - 4, 4);
  auto directory = [&](uint32_t i) -> std::pair<uint32_t, uint32_t> {
    if (i >= directories) return {0, 0};
    return {at(entries + 8 * i, 4), at(entries + 8 * i + 4, 4)};
  };
  const auto [resources, resourcesSize] = directory(2);
  const auto [debug, debugSize] = directory(6);
  std::vector<SectionBytes> sections;
  for (uint32_t i = 0; i < at(coff + 2, 2); ++i) {
    const size_t header = optional + at(coff + 16, 2) + 40 * i;
    const uint32_t virtualSize = at(header + 8, 4), address = at(header + 12, 4), rawSize = at(header + 16, 4),
                   rawOffset = at(header + 20, 4);
    const uint32_t span = std::max(virtualSize, rawSize);
    if (resourcesSize != 0 && resources >= address && resources - address < span) continue;
    SectionBytes s;
    const char* name = reinterpret_cast<const char*>(&file[header]);
    s.name.assign(name, strnlen(name, 8));
    const size_t from = std::min<size_t>(rawOffset, file.size());
    const uint32_t meant = virtualSize != 0 ? std::min(virtualSize, rawSize) : rawSize;
    const size_t size = std::min<size_t>(meant, file.size() - from);
    s.bytes.assign(file.begin() + from, file.begin() + from + size);
    if (debugSize != 0 && debug >= address && debug - address < s.bytes.size()) {
      const size_t records = debug - address;
      std::fill_n(s.bytes.begin() + records, std::min<size_t>(debugSize, s.bytes.size() - records), 0);
    }
    sections.push_back(std::move(s));
  }
  return sections;
}

// "" when what we wrote keeps every section of the image but the resource section,
// in order and byte for byte; else the first that it does not.
std::string SectionsChanged(const std::string& given, const std::string& written) {
  const std::vector<SectionBytes> before = SectionsBesideResources(ReadFileBytes(given)),
                                  after = SectionsBesideResources(ReadFileBytes(written));
  for (size_t i = 0; i < std::min(before.size(), after.size()); ++i) {
    if (before[i].name != after[i].name) return "section " + before[i].name + " became " + after[i].name;
    if (before[i].bytes != after[i].bytes) return "section " + before[i].name + " changed its bytes";
  }
  if (before.size() != after.size())
    return std::to_string(before.size()) + " sections beside the resources became " + std::to_string(after.size());
  return "";
}

// ---- the clients ----

// Whether each client can run here, asked once per process (Mono's answer runs Mono).
struct Presence {
  std::string pefile = PefileAbsent(), readpe = ReadpeAbsent(), llvmReadobj = LlvmReadobjAbsent(),
              signing = SigningAbsent(), mono = MonoAbsent();
  std::string windres = FindOnPath("i686-w64-mingw32-windres");
};
const Presence& Clients() {
  static const Presence presence;
  return presence;
}

// A client's judgement of one file: (file, its resource count, a scratch file) -> verdict.
using Check = std::function<::testing::AssertionResult(const std::string&, size_t, const std::string&)>;

// The lines of a client's objection, with the judged file's paths as IMAGE and
// fractions as # (a share of the file's bytes moves with every byte we add).
std::vector<std::string> LinesOf(std::string text, const std::vector<std::string>& paths) {
  for (const std::string& p : paths)
    for (size_t at; !p.empty() && (at = text.find(p)) != std::string::npos;) text.replace(at, p.size(), "IMAGE");
  text = std::regex_replace(text, std::regex("[0-9]+\\.[0-9]+"), "#");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

const Check kPefile = [](const std::string& f, size_t k, const std::string&) { return PefileAccepts(f, k); };

// Runs one image through tolvane and the clients, collecting what goes wrong.
class ImageRun {
public:
  ImageRun(const Image& image, Figures& figures) : fImage(image), fFigures(figures) {}

  const std::vector<std::string>& Problems() const { return fProblems; }
  void Problem(const std::string& what) { fProblems.push_back(what); }

  // A client's judgement of what we wrote. An objection it makes, line for line,
  // to the image we were given as well judges that image, not our writing: counted
  // apart and printed, not failed. Gives whether the client accepted it.
  bool Judge(const std::string& client, const std::string& absent, const Check& check, const std::string& written,
             size_t resources) {
    if (!absent.empty()) {
      fFigures.Add("client " + client + ": not run, " + absent);
      return false;
    }
    ScratchDir scratch;
    ::testing::AssertionResult verdict = check(written, resources, scratch.file("judged"));
    if (verdict) {
      fFigures.Add("client " + client + ": accepted");
      return true;
    }
    auto given = fVerdictsOnInput.find(client);
    if (given == fVerdictsOnInput.end()) {
      ScratchDir other;
      ::testing::AssertionResult onInput = check(fImage.path, InputResources().size(), other.file("judged"));
      given = fVerdictsOnInput
                  .emplace(client, onInput ? std::nullopt
                                           : std::optional(LinesOf(onInput.message(), {fImage.path, other.path()})))
                  .first;
    }
    const std::vector<std::string> objection = LinesOf(verdict.message(), {written, scratch.path()});
    const bool alike = given->second && !objection.empty() &&
                       std::all_of(objection.begin(), objection.end(), [&](const std::string& l) {
                         return std::find(given->second->begin(), given->second->end(), l) != given->second->end();
                       });
    if (alike) {
      fFigures.Add("client " + client + ": objected to the image we were given alike");
      std::cout << fImage.label << ": " << client << " objects to it before and after: " << objection.front() << "\n";
    } else {
      fFigures.Add("client " + client + ": objected");
      Problem(client + " objects to what we wrote: " + verdict.message());
    }
    return false;
  }

  const std::vector<ResourceKey>& InputResources() {
    if (!fInput) fInput = ResourcesOf(*LoadImageFile(fImage.path));
    return *fInput;
  }

private:
  const Image& fImage;
  Figures& fFigures;
  std::vector<std::string> fProblems;
  std::optional<std::vector<ResourceKey>> fInput;
  std::map<std::string, std::optional<std::vector<std::string>>> fVerdictsOnInput;
};

// ---- the jobs on one image ----

const std::string kStamp = std::string(TOLVANE_SOURCE_DIR) + "/tests/realworld/realworld_stamp.res";

// A .RES merged into every image.
struct ResToMerge {
  std::string label;
  std::string path;
  std::vector<ResourceKey> resources;
  bool stamp;  // Mono reads the version it puts in
};

// What realworld_stamp.rc puts in its version resource.
const MonoVersion kStampedVersion{"7.6.5.4", "7.6.0.0", "Tolvane Real-World Stamp"};

void Extract(const Image& image, ImageRun& run, Figures& figures) {
  ScratchDir dir;
  const std::string out = dir.file("out.res");
  RunResult r = RunTolvane(ForImage({image.path, "-r", out}, image.path));
  if (r.status != 0) {
    const std::string refusal = RefusalOf(r);
    figures.Add(FamilyAndKind(image) + ", extraction refused: " + refusal);
    if (!IsOurRefusal(refusal)) run.Problem("-r fails with no refusal of ours: " + r.out + r.err);
    if (!ListDirectory(dir.path()).empty()) run.Problem("-r refused but left files behind");
    return;
  }
  figures.Add(FamilyAndKind(image) + ", extracted");
  const std::vector<ResourceKey> given = Sorted(run.InputResources());
  std::vector<ResourceKey> ours;
  try {
    ours = Sorted(ResourcesOf(*LoadResFile(out)));
  } catch (const std::exception& e) {
    run.Problem(std::string("our reader refuses the extracted .RES: ") + e.what());
    return;
  }
  if (std::string d = Difference(given, ours); !d.empty())
    run.Problem("the extracted .RES differs from the image: " + d);

  if (Clients().windres.empty()) {
    figures.Add("client windres: not run, i686-w64-mingw32-windres is not installed (Debian binutils-mingw-w64-i686)");
  } else if (given.empty()) {
    // windres reads no .RES without a resource; ours must then be the empty record alone.
    figures.Add("client windres: not asked, the image has no resources");
    if (ReadFileBytes(out).size() != 32)
      run.Problem("the .RES of an image without resources is not the 32-byte empty record");
  } else {
    // windres rewrites version resources as it reads them: only the identities must agree.
    RunResult w = RunCommand(Clients().windres, {"-i", out, "-O", "res", "-o", dir.file("windres.res")});
    const std::string d = w.status != 0
                              ? "windres: " + w.err
                              : Difference(given, Sorted(ResourcesOf(*LoadResFile(dir.file("windres.res")))), false);
    figures.Add(d.empty() ? "client windres: read the extracted .RES alike" : "client windres: objected");
    if (!d.empty()) run.Problem("windres does not read the extracted .RES as the image: " + d);
  }
}

void Merge(const Image& image, ImageRun& run, Figures& figures, const ResToMerge& res) {
  const std::string& label = res.label;
  ScratchDir dir;
  const std::string name = std::filesystem::path(image.path).filename().string();
  const std::string out = dir.file(name);
  RunResult r = RunTolvane(ForImage({"-o", out, image.path, res.path}, image.path));
  if (r.status != 0) {
    std::string refusal = RefusalOf(r);
    // A load refused by -o is silent; -r has the same load and says why.
    if (refusal.empty()) refusal = RefusalOf(RunTolvane(ForImage({image.path, "-r", dir.file("why.res")}, image.path)));
    figures.Add(FamilyAndKind(image) + ", " + label + " refused: " + (refusal.empty() ? "(no message)" : refusal));
    if (!IsOurRefusal(refusal)) run.Problem("-o " + label + " fails with no refusal of ours: " + r.out + r.err);
    std::filesystem::remove(dir.file("why.res"));
    if (!ListDirectory(dir.path()).empty()) run.Problem("-o " + label + " refused but left files behind");
    return;
  }
  figures.Add(FamilyAndKind(image) + ", " + label + " merged");

  std::vector<ResourceKey> written;
  try {
    written = ResourcesOf(*LoadImageFile(out));
  } catch (const std::exception& e) {
    run.Problem("our reader refuses what -o " + label + " wrote: " + e.what());
    return;
  }
  if (std::string d = Difference(Sorted(MergedByTheRule(run.InputResources(), res.resources)), Sorted(written));
      !d.empty())
    run.Problem("-o " + label + " did not merge by the rule: " + d);
  if (std::string d = SectionsChanged(image.path, out); !d.empty()) run.Problem("-o " + label + ": " + d);

  const Presence& c = Clients();
  const size_t n = written.size();
  const struct {
    const char* name;
    const std::string& absent;
    Check check;
  } clients[] = {
      {"pefile", c.pefile, kPefile},
      {"readpe", c.readpe, [](auto& f, size_t k, auto&) { return ReadpeAccepts(f, k); }},
      {"llvm-readobj", c.llvmReadobj, [](auto& f, size_t k, auto&) { return LlvmReadobjAccepts(f, k); }},
      {"llvm-readobj symbols and unwind", c.llvmReadobj,
       [&](auto& f, size_t, auto&) { return LlvmReadobjListsTheSameSymbolsAndUnwind(image.path, f); }},
      {"osslsigncode", c.signing, [](auto& f, size_t, auto& signedPath) { return SignsAndVerifies(f, signedPath); }},
  };
  for (const auto& client : clients) run.Judge(client.name, client.absent, client.check, out, n);
  if (!res.stamp) return;

  // Mono shows our version where the stamp's is the image's only version resource
  // now: it replaced the image's own, or the image had none.
  auto isVersion = [](const ResourceKey& k) { return k.type == u"16"; };
  const std::vector<uint8_t>& stampVersion = std::find_if(res.resources.begin(), res.resources.end(), isVersion)->bytes;
  const bool onlyOurs = std::all_of(written.begin(), written.end(),
                                    [&](const ResourceKey& k) { return !isVersion(k) || k.bytes == stampVersion; });
  MonoVersion version;
  const Check mono = [&](auto& f, size_t, auto&) { return MonoReadsVersionOf(f, version); };
  if (!run.Judge("mono", c.mono, mono, out, n)) return;
  if (!onlyOurs) {
    figures.Add("client mono: read the version beside the image's own");
  } else if (version == kStampedVersion) {
    figures.Add("client mono: showed the stamped version");
  } else {
    figures.Add("client mono: did not show the stamped version");
    run.Problem("mono shows version " + version.fileVersion + " / " + version.productVersion + " / " +
                version.productName + ", not the stamp's");
  }
}

// The default stays what it was before -64: a PE32+ image is no Windows image.
void RefusedWithoutTheSwitch(const Image& image, ImageRun& run, Figures& figures) {
  ScratchDir dir;
  RunResult extract = RunTolvane({image.path, "-r", dir.file("out.res")});
  RunResult merge = RunTolvane({"-o", dir.file("out.exe"), image.path, kStamp});
  const bool refused = extract.status == 1 && RefusalOf(extract) == "Invalid Windows Image." && merge.status == 1 &&
                       merge.out.empty() && merge.err.empty() && ListDirectory(dir.path()).empty();
  figures.Add(FamilyAndKind(image) + ", without -64: " + (refused ? "refused" : "NOT refused"));
  if (!refused)
    run.Problem("without -64 a PE32+ image is not refused as documented: -r gave " + std::to_string(extract.status) +
                " " + extract.err + ", -o gave " + std::to_string(merge.status) + " " + merge.out + merge.err);
}

// ---- the tests ----

// An objection to what we wrote is excused only where the client makes it, line for
// line, to the image we were given: a checksum we got wrong is not excused by the
// wrong one the image came with. overlay.exe carries app.exe's checksum.
TEST(RealWorldJudge, ExcusesOnlyWhatTheGivenImageDrawsAlike) {
  SKIP_UNLESS_PRESENT(Clients().pefile);
  const Image given{0, FixturePath("overlay.exe"), "overlay.exe", Kind::PE32};
  ScratchDir dir;
  ASSERT_EQ(RunTolvane({"-o", dir.file("out.exe"), given.path, kStamp}).status, 0);
  std::vector<uint8_t> bytes = ReadFileBytes(dir.file("out.exe"));
  bytes[getU32LE(&bytes[60]) + 24 + 64] ^= 1;  // the optional header's CheckSum
  WriteFileBytes(dir.file("wrong.exe"), bytes);
  const struct {
    std::string written;
    bool excused;
  } cases[] = {{given.path, true}, {dir.file("wrong.exe"), false}};
  for (const auto& c : cases) {
    Figures figures;
    ImageRun run(given, figures);
    EXPECT_FALSE(run.Judge("pefile", "", kPefile, c.written, ResourcesOf(*LoadImageFile(c.written)).size()));
    EXPECT_EQ(run.Problems().empty(), c.excused) << c.written;
  }
}

// The families .ci/run installs are found where Debian puts them, and hold images of
// each kind they have a quota for: a layout that moved would leave the shards with
// nothing to judge.
class RealWorldPackages : public ::testing::TestWithParam<int> {};

TEST_P(RealWorldPackages, AreFoundWhereDebianPutsThem) {
  const Family& f = kFamilies[GetParam()];
  if (!FamilyInstalled(f))
    GTEST_SKIP() << "Debian package " << f.package << " is not installed (" << f.root << " is missing)";
  std::map<Kind, int> kinds;
  for (const Image& i : ImagesOf(GetParam())) ++kinds[i.kind];
  std::cout << f.name << ": " << kinds[Kind::PE32] << " PE32, " << kinds[Kind::PE32Plus] << " PE32+, "
            << kinds[Kind::NotAnImage] << " other files\n";
  if (f.pe32Quota > 0) {
    EXPECT_GT(kinds[Kind::PE32], 0) << f.root;
  }
  if (f.pe32PlusQuota > 0) {
    EXPECT_GT(kinds[Kind::PE32Plus], 0) << f.root;
  }
}

std::vector<int> FamiliesInstalledForTests() {
  std::vector<int> families;
  for (int f = 0; f < kFamilyCount; ++f)
    if (kFamilies[f].installedForTests) families.push_back(f);
  return families;
}

INSTANTIATE_TEST_SUITE_P(RealWorld, RealWorldPackages, ::testing::ValuesIn(FamiliesInstalledForTests()),
                         [](const ::testing::TestParamInfo<int>& info) {
                           std::string name = kFamilies[info.param].name;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

class RealWorldShard : public ::testing::TestWithParam<int> {};

TEST_P(RealWorldShard, ImagesOfDebianPackages) {
  const std::vector<Image>& sample = TheSample();
  if (sample.empty()) {
    std::string packages;
    for (const Family& f : kFamilies) packages += std::string(packages.empty() ? "" : ", ") + f.package;
    GTEST_SKIP() << "no image found: none of the Debian packages " << packages << " is installed";
  }
  Figures figures;
  for (const Family& f : kFamilies)
    if (!FamilyInstalled(f)) std::cout << f.name << ": not installed (Debian " << f.package << ")\n";

  ScratchDir payloadDir;
  ResRecord payload;
  payload.name = ResId::Str(u"TOLVANE_PAYLOAD");
  payload.language = 0x409;
  payload.data.resize(1 << 20);
  for (size_t i = 0; i < payload.data.size(); ++i) payload.data[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  WriteFileBytes(payloadDir.file("payload.res"), ResBuilder().EmptyRecord().Add(payload).Bytes());
  const ResToMerge merges[] = {{"stamp", kStamp, ResourcesOf(*LoadResFile(kStamp)), true},
                               {"1 MiB RCDATA", payloadDir.file("payload.res"),
                                ResourcesOf(*LoadResFile(payloadDir.file("payload.res"))), false}};

  for (size_t at = static_cast<size_t>(GetParam()); at < sample.size(); at += kShards) {
    const Image& image = sample[at];
    ImageRun run(image, figures);
    figures.Add(FamilyAndKind(image));
    if (image.kind == Kind::PE32Plus) RefusedWithoutTheSwitch(image, run, figures);
    try {
      Extract(image, run, figures);
      for (const ResToMerge& res : merges) Merge(image, run, figures, res);
    } catch (const std::exception& e) {
      run.Problem(std::string("the checks stopped: ") + e.what());
    }
    std::vector<std::string> problems = run.Problems();
    for (const KnownFaultOfKind& kind : kKnownFaultsOfKind) {
      if (!kind.shows(image.path)) continue;
      if (std::erase_if(problems, [&](const std::string& p) { return p.starts_with(kind.problem); }) == 0)
        ADD_FAILURE() << image.label << " is of a kind with a known fault (" << kind.fault
                      << ") but passes now: take the fault off the list";
      else
        std::cout << image.label << ": known fault, still there: " << kind.fault << "\n";
    }
    auto known = kKnownFaults.find(image.label);
    if (known != kKnownFaults.end()) {
      if (problems.empty())
        ADD_FAILURE() << image.label << " is listed as a known fault (" << known->second
                      << ") but passes now: take it off the list";
      else
        std::cout << image.label << ": known fault, still there: " << known->second << "\n";
    } else {
      for (const std::string& p : problems) ADD_FAILURE() << image.label << ": " << p;
    }
  }
  figures.Report();
}

INSTANTIATE_TEST_SUITE_P(RealWorld, RealWorldShard, ::testing::Range(0, kShards));

}  // namespace
}  // namespace tolvane::test
