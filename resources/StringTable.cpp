#include "StringTable.h"

#include <array>

#include "platform/CodePages.h"

namespace tolvane {
namespace {

struct Entry {
  StrId id;
  const char16_t* text;
};

// One place for every user-visible text. \t is a TAB.
constexpr Entry kStrings[] = {
    {StrId::HelpUsage, u"Usage: %s [OPTION]... PE-FILE RESOURCE-FILE..."},
    {StrId::HelpSummary, u"Combine resources from PE-File and RESOURCE-FILE(s)."},
    {StrId::HelpH, u"-h \tdisplay this help and exit"},
    {StrId::HelpV, u"-V \toutput version information and exit"},
    {StrId::HelpO, u"-o FILE\twrite updated ELF-FILE to FILE"},
    {StrId::HelpR, u"-r FILE\twrite combined resources to resource file FILE"},
    {StrId::HelpS, u"-s FILE\twrite combined resources to resource-dll file FILE"},
    {StrId::HelpExamples, u"examples:"},
    {StrId::HelpPeToRes, u"PE->RES: \tsrc.exe -r dest.res"},
    {StrId::HelpResToExe, u"RES->PE.exe: \t-o dest.exe src.exe src.res"},
    {StrId::HelpResToDll, u"RES->PE.dll: \t-s dest.dll src.exe src.res"},

    {StrId::Banner, u"Tolvane 0.1, compiled Dec 2 2003"},
    {StrId::BannerAuthor, u"Written by the Tolvane developers"},
    {StrId::BannerAuthorContact, u" (see the project's README for how to reach them)"},
    {StrId::BannerLibrary, u"Uses the Tolvane resource library"},
    {StrId::BannerLibraryContact, u" (part of the same project, under the MIT license)"},

    {StrId::ResultExtracted, u"Resources extracted from %s to %s"},
    {StrId::ResultCombined, u"Resources combined from %s to %s"},
    {StrId::PeFileArgumentRequired, u"PE file argument required"},
    {StrId::InvalidOption, u"invalid option "},
    {StrId::TryHelp, u"Try '%s -h' for more information"},
    {StrId::SrcFileMissing, u"ERROR: Src file is missing: %s"},
    {StrId::EmptyDllMissing, u"ERROR: Empty.dll is missing: %s"},

    {StrId::ErrorReport, u"Exception %s in module %s at %p.\r\n%s%s\r\n"},

    {StrId::InvalidDosSignature, u"Invalid DOS signature"},
    {StrId::InvalidCoffSignature, u"Invalid COFF signature"},
    {StrId::InvalidWindowsImage, u"Invalid Windows Image"},
    {StrId::UnsupportedLanguageName, u"Unsupported non-integer language ID in resource"},
    {StrId::DataDirectoryIndex, u"Index exceeds data directory count"},
    {StrId::StructureOutsideFile, u"%s lies outside the file"},
    {StrId::SectionDataOutsideFile, u"Section %s data lies outside the file"},
    {StrId::ResourceDirectoryOutside, u"Resource directory: %s lies outside the resource section"},
    {StrId::ResourceDirectoryCycle, u"Resource directory: a subdirectory is reached twice"},
    {StrId::ResourceDataBeforeLanguage, u"Resource directory: data entry above the language level"},
    {StrId::ResourceDataOutsideImage, u"Resource data lies outside the sections of the image"},
    {StrId::StructureOutsideSection, u"%s lies outside its section"},
    {StrId::ResourceDirectoryTooDeep, u"Resource directory: the tables nest deeper than %d levels"},
    {StrId::ResourceDataShared, u"Resource directory: a data entry is reached twice"},
    {StrId::ResourceDataTooLarge, u"Resource directory: the resources hold more bytes than the image"},
    {StrId::OptionalHeaderTooSmall, u"The optional header is too small for its data directories"},
    {StrId::BadAlignment, u"The image's %s is not a power of two"},
    {StrId::HeadersTooLong, u"The image's headers are longer than its SectionAlignment"},
    {StrId::TooManyEntries, u"A resource directory table would hold more than 65535 entries"},
    {StrId::SectionWouldMove, u"Section %s would move, but it is neither discardable nor the base relocation section"},
    {StrId::NoRoomForResourceSection, u"There is no room in the image's headers for a resource section"},
    {StrId::TooFewDataDirectories, u"The image has too few data directories for a resource section"},
    {StrId::LayoutOverflow, u"The image would be larger than 4 GiB"},
    {StrId::ResourceSectionShared, u"The resource section also holds data of another directory"},
    {StrId::SectionsShareTheirBytes, u"The image's sections share the file's bytes beyond any real image"},
    {StrId::FileAlignmentTooLarge, u"The image's FileAlignment is larger than 64 KiB"},
    {StrId::ResourceNameTooLong, u"A resource name is longer than the 65535 characters a resource directory can count"},
    {StrId::ResourceSectionHoldsMore,
     u"The resource section holds more than the resource directory: code, or data before it"},
    {StrId::DiscardableCodeWouldMove, u"Section %s would move, but it is discardable code"},
    {StrId::EntryPointSectionWouldMove, u"Section %s would move, but it holds the entry point"},
    {StrId::PatchedSectionWouldMove, u"Section %s would move, but base relocations patch its bytes"},
    {StrId::PointedToSectionWouldMove, u"Section %s would move, but a base relocation points into it"},
    {StrId::UnknownPointersSectionWouldMove,
     u"Section %s would move, but the image's code may address it without base relocations"},
    {StrId::OffsetIntoDroppedBytes, u"%s names bytes between the image's sections, which a rewrite does not keep"},
    {StrId::OffsetBeyond4GiB, u"%s would move past 4 GiB, beyond what its 32-bit file offset can name"},
    {StrId::OffsetIntoRebuiltBytes, u"%s names bytes of the resource section, which a rewrite rebuilds"},

    {StrId::NoStreaming, u"Module doesn't support streaming"},
    {StrId::AbstractError, u"Abstract Error"},
    {StrId::ListIndexError, u"List index out of bounds (%d)"},
    {StrId::InvalidInteger, u"'%s' is not a valid integer value"},
    {StrId::FileOpenError, u"Cannot open file \"%s\". %s"},
    {StrId::FileCreateError, u"Cannot create file \"%s\". %s"},
    {StrId::BackupWouldReplaceInput,
     u"Cannot save \"%s\": its backup would take the place of \"%s\", which this run reads"},
    {StrId::DestinationIsTheResFile, u"Cannot save \"%s\": it is the resource file this run reads"},
    {StrId::StreamReadError, u"Stream read error"},
    {StrId::StreamWriteError, u"Stream write error"},
    {StrId::ResFileCorrupt, u"The resource file is corrupt"},
    {StrId::ResLanguageTooWide, u"A resource's language %s does not fit the 16 bits of a resource file"},
    {StrId::ResNameWithZero, u"A resource's type or name holds a zero character, which a resource file cannot hold"},
    {StrId::ResNameStartingWithOrdinalMarker,
     u"A resource's type or name begins with the character U+FFFF, which a resource file reads as a number"},
    {StrId::OutOfMemory, u"Out of memory"},
};

std::array<std::u16string, static_cast<size_t>(StrId::Count_)> BuildTable() {
  std::array<std::u16string, static_cast<size_t>(StrId::Count_)> table;
  for (const Entry& e : kStrings) table[static_cast<size_t>(e.id)] = e.text;
  return table;
}

}  // namespace

const std::u16string& LoadResString(StrId id) {
  static const auto table = BuildTable();
  return table.at(static_cast<size_t>(id));
}

std::u16string Format(const std::u16string& AFormat, std::initializer_list<std::u16string> args) {
  std::u16string result;
  result.reserve(AFormat.size() + 32);
  auto next = args.begin();
  for (size_t i = 0; i < AFormat.size(); ++i) {
    char16_t c = AFormat[i];
    if (c == u'%' && i + 1 < AFormat.size()) {
      char16_t k = AFormat[i + 1];
      if (k == u's' || k == u'd' || k == u'p') {
        if (next != args.end()) result += *next++;
        ++i;
        continue;
      }
    }
    result += c;
  }
  return result;
}

std::u16string ToU16(std::string_view utf8) { return platform::Utf8ToWide(std::string(utf8)); }

}  // namespace tolvane
