// The program's string table: every text a user can see, loaded by identifier.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tolvane {

enum class StrId {
  // Help text, 11 lines.
  HelpUsage,
  HelpSummary,
  HelpH,
  HelpV,
  HelpO,
  HelpR,
  HelpS,
  HelpExamples,
  HelpPeToRes,
  HelpResToExe,
  HelpResToDll,
  // Version banner, 5 lines.
  Banner,
  BannerAuthor,
  BannerAuthorContact,
  BannerLibrary,
  BannerLibraryContact,
  // Results and usage errors.
  ResultExtracted,
  ResultCombined,
  PeFileArgumentRequired,
  InvalidOption,
  TryHelp,
  SrcFileMissing,
  EmptyDllMissing,
  // The default error report.
  ErrorReport,
  // Image errors.
  InvalidDosSignature,
  InvalidCoffSignature,
  InvalidWindowsImage,
  UnsupportedLanguageName,
  DataDirectoryIndex,
  StructureOutsideFile,
  SectionDataOutsideFile,
  ResourceDirectoryOutside,
  ResourceDirectoryCycle,
  StructureOutsideSection,
  ResourceDirectoryTooDeep,
  ResourceDataShared,
  ResourceDataTooLarge,
  ResourceDataBeforeLanguage,
  ResourceDataOutsideImage,
  OptionalHeaderTooSmall,
  BadAlignment,
  HeadersTooLong,
  TooManyEntries,
  SectionWouldMove,
  NoRoomForResourceSection,
  TooFewDataDirectories,
  LayoutOverflow,
  ResourceSectionShared,
  SectionsShareTheirBytes,
  FileAlignmentTooLarge,
  ResourceNameTooLong,
  ResourceSectionHoldsMore,
  OffsetIntoDroppedBytes,
  OffsetBeyond4GiB,
  OffsetIntoRebuiltBytes,
  DiscardableCodeWouldMove,
  EntryPointSectionWouldMove,
  PatchedSectionWouldMove,
  PointedToSectionWouldMove,
  UnknownPointersSectionWouldMove,
  // Module and stream errors.
  NoStreaming,
  AbstractError,
  ListIndexError,
  InvalidInteger,
  FileOpenError,
  FileCreateError,
  BackupWouldReplaceInput,
  DestinationIsTheResFile,
  StreamReadError,
  StreamWriteError,
  ResFileCorrupt,
  ResLanguageTooWide,
  ResNameWithZero,
  ResNameStartingWithOrdinalMarker,
  OutOfMemory,
  Count_
};

const std::u16string& LoadResString(StrId id);

// Replaces each %s, %d or %p of AFormat, in order, by the next argument.
std::u16string Format(const std::u16string& AFormat, std::initializer_list<std::u16string> args);

// UTF-8 (or ASCII) text of the program itself, widened.
std::u16string ToU16(std::string_view utf8);

}  // namespace tolvane
