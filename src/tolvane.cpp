#include "tolvane.h"

#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "StringTable.h"
#include "platform/CodePages.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "support/HashIndex.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane {
namespace {

const char16_t kTemplateFileName[] = u"Empty.dll";

// ---- output ----

uint32_t OutputCodePage() { return platform::StdOutIsConsole() ? platform::GetConsoleOutputCP() : platform::GetACP(); }

void WriteEncodedLine(const std::u16string& text) {
  platform::WriteStdOut(platform::WideCharToMultiByte(OutputCodePage(), text) + "\r\n");
  platform::FlushStdOut();
}

// The front end's own lines pass through the ANSI code page first, so the user sees
// the text as it survives that code page.
void WriteLine(const std::u16string& text) {
  std::string ansi = platform::WideCharToMultiByte(platform::CP_ACP, text);
  uint32_t target = OutputCodePage();
  if (target == platform::GetACP()) {
    platform::WriteStdOut(ansi + "\r\n");
    platform::FlushStdOut();
  } else {
    WriteEncodedLine(platform::MultiByteToWideChar(platform::CP_ACP, ansi));
  }
}

void WriteLine(StrId id) { WriteLine(LoadResString(id)); }

// ---- parameters ----

bool IsSwitchChar(char16_t c) { return c == u'-' || c == u'/'; }

char16_t FoldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool SameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

std::u16string LastPathComponent(const std::u16string& path) {
  size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::u16string DirectoryPart(const std::u16string& path) {
  size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1);
}

bool IsSwitch(const std::u16string& p, const std::u16string& name) {
  return !p.empty() && IsSwitchChar(p[0]) && SameIgnoringCase(p.substr(1), name);
}

// The -64 switch changes what an image may be, not which job runs: it is taken out
// before the jobs count and place their parameters.
const char16_t kPE32PlusSwitch[] = u"64";

std::vector<std::u16string> WithoutSwitch(const std::vector<std::u16string>& params, const std::u16string& name) {
  std::vector<std::u16string> kept;
  for (size_t i = 0; i < params.size(); ++i)
    if (i == 0 || !IsSwitch(params[i], name)) kept.push_back(params[i]);
  return kept;
}

class TParameters {
public:
  explicit TParameters(const std::vector<std::u16string>& params) : fParams(params) {}

  int Count() const { return static_cast<int>(fParams.size()) - 1; }
  const std::u16string& operator[](int i) const { return fParams.at(static_cast<size_t>(i)); }

  // Any parameter, file names included, can be the switch.
  bool HasSwitch(const std::u16string& name) const {
    for (int i = 1; i <= Count(); ++i)
      if (IsSwitch(fParams[static_cast<size_t>(i)], name)) return true;
    return false;
  }

private:
  const std::vector<std::u16string>& fParams;
};

// ---- the five outcomes ----

void PrintHelp(const std::u16string& programName) {
  WriteLine(Format(LoadResString(StrId::HelpUsage), {programName}));
  for (StrId id : {StrId::HelpSummary, StrId::HelpH, StrId::HelpV, StrId::HelpO, StrId::HelpR, StrId::HelpS,
                   StrId::HelpExamples, StrId::HelpPeToRes, StrId::HelpResToExe, StrId::HelpResToDll})
    WriteLine(id);
}

void PrintBanner() {
  for (StrId id : {StrId::Banner, StrId::BannerAuthor, StrId::BannerAuthorContact, StrId::BannerLibrary,
                   StrId::BannerLibraryContact})
    WriteLine(id);
}

void PrintUsageError(const TParameters& params, const std::u16string& programName) {
  if (params.Count() == 0)
    WriteLine(StrId::PeFileArgumentRequired);
  else if (!params[1].empty() && IsSwitchChar(params[1][0]))
    WriteLine(LoadResString(StrId::InvalidOption) + params[1]);
  WriteLine(Format(LoadResString(StrId::TryHelp), {programName}));
}

int Dispatch(const TParameters& params, const std::u16string& programName, bool acceptPE32Plus) {
  if (params.HasSwitch(u"h")) {
    PrintHelp(programName);
  } else if (params.HasSwitch(u"V")) {
    PrintBanner();
  } else if (params.Count() == 3 && params.HasSwitch(u"r")) {
    ExtractResources(params[1], params[3], acceptPE32Plus);
    WriteLine(
        Format(LoadResString(StrId::ResultExtracted), {LastPathComponent(params[1]), LastPathComponent(params[3])}));
  } else if (params.Count() == 4 && (params.HasSwitch(u"o") || params.HasSwitch(u"s"))) {
    bool templateMode = params.HasSwitch(u"s");
    CombineResources(params[2], params[3], params[4], templateMode, DirectoryPart(params[0]) + kTemplateFileName,
                     acceptPE32Plus);
    WriteLine(
        Format(LoadResString(StrId::ResultCombined), {LastPathComponent(params[4]), LastPathComponent(params[2])}));
  } else {
    PrintUsageError(params, programName);
  }
  return 0;
}

// ---- the default error report ----

void ReportError(const char* className, const std::u16string& message, const std::u16string& programName) {
  platform::FlushStdOut();
  bool addPeriod = !message.empty() && message.back() != u'.';
  // The code address is not tracked; the report always shows a zero offset.
  std::u16string text = Format(LoadResString(StrId::ErrorReport),
                               {ToU16(className), programName, u"00000000", message, addPeriod ? u"." : u""});
  platform::WriteStdErr(platform::WideCharToMultiByte(platform::CP_OEMCP, text + u"\r\n"));
}

}  // namespace

// ---- the jobs ----

namespace {

// A save deletes whatever stands at the destination's backup name and then moves the
// destination there, so that name must not be a file the run reads: the run would
// destroy its own input. (The destination may be the source image, whose content
// the backup then keeps.) Checked once the inputs are read, before anything is
// written, so a refusal is reported as a failed write is.
void RefuseBackupOverInputs(const std::u16string& dest, std::initializer_list<std::u16string> inputs) {
  const std::u16string backup = BackupFileName(dest);
  for (const std::u16string& input : inputs)
    if (platform::SameFile(backup, input))
      throw EFCreateError(Format(LoadResString(StrId::BackupWouldReplaceInput),
                                 {platform::ExpandFileName(dest), platform::ExpandFileName(input)}));
}

}  // namespace

void ExtractResources(const std::u16string& srcImage, const std::u16string& destRes, bool acceptPE32Plus) {
  auto image = std::make_unique<TPEResourceModule>();
  image->AcceptPE32Plus(acceptPE32Plus);
  image->LoadFromFile(srcImage);
  auto res = std::make_unique<TResModule>();
  res->Assign(*image);
  RefuseBackupOverInputs(destRes, {srcImage});
  res->SaveToFile(destRes);
}

namespace {

// Whether a resource has this identity.
auto Same(const std::u16string& type, const std::u16string& name, uint32_t language) {
  return [&type, &name, language](const TResourceDetails* e) {
    return e->ResourceLanguage() == language && e->ResourceName() == name && e->ResourceType() == type;
  };
}

// The rule of FindResource (the first with the same type, name and language, else
// the first with language 0) through an index: scanning the image for each
// resource of the .RES would take time that grows with the square of their number.
// The index holds the details themselves (the merge never renames one), so a
// lookup reads another resource's names only when the hashes agree.
class TFirstByIdentity {
public:
  explicit TFirstByIdentity(size_t expected) : fFirst(expected) {}

  static uint64_t Hash(const std::u16string& type, const std::u16string& name, uint32_t language) {
    uint64_t h = std::hash<std::u16string_view>()(type);
    h ^= std::hash<std::u16string_view>()(name) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h ^ (language * 0x9E3779B97F4A7C15ull);
  }
  static uint64_t Hash(const TResourceDetails& d) {
    return Hash(d.ResourceType(), d.ResourceName(), d.ResourceLanguage());
  }

  // Keeps e unless a resource of its identity came first.
  void Remember(TResourceDetails* e) {
    fFirst.FindOrInsert(Hash(*e), e, Same(e->ResourceType(), e->ResourceName(), e->ResourceLanguage()));
  }

  TResourceDetails* Find(const TResourceDetails& d) {
    const std::u16string &type = d.ResourceType(), &name = d.ResourceName();
    if (TResourceDetails** exact = fFirst.Find(Hash(d), Same(type, name, d.ResourceLanguage()))) return *exact;
    TResourceDetails** neutral = fFirst.Find(Hash(type, name, 0), Same(type, name, 0));
    return neutral != nullptr ? *neutral : nullptr;
  }

private:
  THashIndex<TResourceDetails*> fFirst;
};

}  // namespace

void MergeInto(TPEResourceModule& image, TResModule& res) {
  TFirstByIdentity first(static_cast<size_t>(image.ResourceCount()) + static_cast<size_t>(res.ResourceCount()));
  for (int i = 0; i < image.ResourceCount(); ++i) first.Remember(image.ResourceDetails(i));

  for (int i = 0; i < res.ResourceCount(); ++i) {
    TResourceDetails* d = res.ResourceDetails(i);
    if (TResourceDetails* e = first.Find(*d)) {
      e->ChangeData(d->data());
    } else {
      // Bytes that view the .RES file are shared, not copied, until written to.
      const TMemoryStream& bytes = d->data();
      int at = image.AddResource(TResourceDetails::CreateResourceDetails(
          &image, d->ResourceLanguage(), d->ResourceName(), d->ResourceType(), bytes, 0, bytes.ByteSize()));
      first.Remember(image.ResourceDetails(at));
    }
  }
}

namespace {

[[noreturn]] void ReportMissing(StrId id, const std::u16string& path) {
  // Straight from UTF-16 to the output encoding: no ANSI step for these two lines.
  WriteEncodedLine(Format(LoadResString(id), {path}));
  throw TProcessExit{1};
}

}  // namespace

bool CombineResources(const std::u16string& dest, const std::u16string& srcImage, const std::u16string& resFile,
                      bool templateMode, const std::u16string& templatePath, bool acceptPE32Plus) {
  bool success = false;
  auto image = std::make_unique<TPEResourceModule>();
  image->AcceptPE32Plus(acceptPE32Plus);
  try {
    const std::u16string& base = templateMode ? templatePath : srcImage;
    if (!platform::FileExists(base)) ReportMissing(templateMode ? StrId::EmptyDllMissing : StrId::SrcFileMissing, base);
    image->LoadFromFile(base);
    {
      auto res = std::make_unique<TResModule>();
      res->LoadFromFile(resFile);
      MergeInto(*image, *res);
      success = true;
    }
    // An image written over the .RES would leave it only under the backup name,
    // which the next such run deletes.
    if (platform::SameFile(dest, resFile))
      throw EFCreateError(Format(LoadResString(StrId::DestinationIsTheResFile), {platform::ExpandFileName(dest)}));
    RefuseBackupOverInputs(dest, {base, resFile});
    image->SaveToFile(dest);
  } catch (const TProcessExit&) {
    throw;
  } catch (...) {
    // Loading and merging fail silently; only a failed write is reported.
    if (!success) throw TProcessExit{1};
    throw;
  }
  return true;
}

int RunProgram(const std::vector<std::u16string>& params) {
  platform::SetConsoleOutputCP(platform::CP_UTF8);
  std::u16string programName = LastPathComponent(params.empty() ? std::u16string() : params[0]);
  try {
    const std::vector<std::u16string> jobParams = WithoutSwitch(params, kPE32PlusSwitch);
    return Dispatch(TParameters(jobParams), programName, jobParams.size() != params.size());
  } catch (const TProcessExit& e) {
    return e.status;
  } catch (const Exception& e) {
    ReportError(e.ClassName(), e.Message(), programName);
  } catch (const std::bad_alloc&) {
    ReportError("EOutOfMemory", LoadResString(StrId::OutOfMemory), programName);
  } catch (const std::exception& e) {
    ReportError("Exception", ToU16(e.what()), programName);
  }
  return 1;
}

}  // namespace tolvane
