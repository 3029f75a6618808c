// The resources as the model sees them: identities as a directory table holds and
// orders them, the merge rule, and the size of the directory the writer builds.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "WriterSupport.h"

namespace tolvane::fuzz {

// A type or name after a write: through the ANSI code page (UTF-8 here), which
// turns an unpaired surrogate into '?'.
std::u16string ThroughAnsi(const std::u16string& s);

enum class TForm { kName, kId, kEmpty, kTooLarge };

// A directory entry holds an ID for exactly the decimal text of a number that fits
// 31 bits ("7"); other digits ("007") are a name. No text, or digits beyond 31
// bits, cannot be written.
TForm FormOf(const std::u16string& s, uint32_t& value);

// A type or name as a table holds it, classified once.
struct TPart {
  std::u16string text;
  bool id = false;
  uint32_t value = 0;

  TPart() = default;
  explicit TPart(std::u16string s) : text(std::move(s)) { id = FormOf(text, value) == TForm::kId; }
};

// The order of a table's entries, which Windows' loader searches: names first, by
// their UTF-16 units, then IDs by value.
int ComparePart(const TPart& a, const TPart& b);

struct TKey {
  TPart type, name;
  uint32_t language = 0;
};

struct TTableOrder {
  bool operator()(const TKey& a, const TKey& b) const {
    if (int c = ComparePart(a.type, b.type)) return c < 0;
    if (int c = ComparePart(a.name, b.name)) return c < 0;
    return a.language < b.language;
  }
};

// A resource of the image, or one the merge brings.
struct TResource {
  std::u16string type, name;
  uint32_t language = 0;
  const Bytes* data = nullptr;
  int32_t codePage = 0;
  bool fromImage = false;
};

// A record as the .RES reader gives it.
struct TRecord {
  std::u16string type, name;
  uint32_t language = 0;
  Bytes data;
};

// The image's resources with the records merged in, the records first sorted as the
// .RES reader keeps them; what it gives points into records.
std::vector<TResource> Merged(const std::vector<TResource>& image, std::vector<TRecord>& records);

// What the written directory holds: one entry per identity, as written; of equal
// identities the later resource gives the bytes, the first the code page.
struct TEntry {
  const Bytes* data = nullptr;
  int32_t codePage = 0;
  bool codePageKnown = false;
};
using TDirectory = std::map<TKey, TEntry, TTableOrder>;

TDirectory WrittenDirectory(const std::vector<TResource>& list);

// The bytes of the resource section: tables, data entries and names, aligned to 16,
// then each resource's bytes aligned to 4.
uint64_t DirectorySize(const TDirectory& d, bool& tooManyEntries);

}  // namespace tolvane::fuzz
