#include "WriterResourceModel.h"

#include <algorithm>
#include <unordered_map>

namespace tolvane::fuzz {
namespace {

// The order the .RES reader keeps its records in, sorted stably: by type, then by
// name; names before numbers (any digits, "007" is 7), names by their units with
// ASCII letters folded to upper case, numbers by value. It matters to the merge
// only where different texts become one identity in the image.
int CompareResOrder(const std::u16string& a, const std::u16string& b) {
  auto number = [](const std::u16string& s) -> int64_t {
    if (s.empty()) return -1;
    int64_t v = 0;
    for (char16_t c : s) {
      if (c < u'0' || c > u'9') return -1;
      v = std::min<int64_t>(v * 10 + (c - u'0'), int64_t(1) << 40);
    }
    return v;
  };
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  int64_t na = number(a), nb = number(b);
  if (na >= 0 || nb >= 0) {
    if (na < 0) return -1;
    if (nb < 0) return 1;
    return na < nb ? -1 : na > nb ? 1 : 0;
  }
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return upper(a[i]) < upper(b[i]) ? -1 : 1;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The merge rule: the first resource of the same type, name and language, else the
// first of the same type and name in language 0, takes the record's bytes; without
// either the record is added.
// Type, name and language in one text: each part after its length.
std::u16string Identity(const std::u16string& type, const std::u16string& name, uint32_t language) {
  std::u16string id;
  id.reserve(type.size() + name.size() + 6);
  for (const std::u16string* part : {&type, &name}) {
    id += static_cast<char16_t>(part->size() >> 16);
    id += static_cast<char16_t>(part->size());
    id += *part;
  }
  id += static_cast<char16_t>(language >> 16);
  id += static_cast<char16_t>(language);
  return id;
}

void Merge(std::vector<TResource>& list, const std::vector<TRecord>& records) {
  std::unordered_map<std::u16string, size_t> first;  // the first resource of each identity
  first.reserve(list.size() + records.size());
  for (size_t i = 0; i < list.size(); ++i) first.try_emplace(Identity(list[i].type, list[i].name, list[i].language), i);
  for (const TRecord& r : records) {
    std::u16string exact = Identity(r.type, r.name, r.language);
    auto hit = first.find(exact);
    if (hit == first.end()) hit = first.find(Identity(r.type, r.name, 0));
    if (hit != first.end()) {
      list[hit->second].data = &r.data;
    } else {
      first.try_emplace(std::move(exact), list.size());
      list.push_back({r.type, r.name, r.language, &r.data, 0, false});
    }
  }
}

}  // namespace

std::u16string ThroughAnsi(const std::u16string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      out += c;
      out += s[++i];
    } else {
      out += (c >= 0xD800 && c <= 0xDFFF) ? u'?' : c;
    }
  }
  return out;
}

TForm FormOf(const std::u16string& s, uint32_t& value) {
  value = 0;
  if (s.empty()) return TForm::kEmpty;
  uint64_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return TForm::kName;
    v = v * 10 + (c - u'0');
    if (v > 0x7FFFFFFF) v = 0x80000000;  // stays too large
  }
  if (v > 0x7FFFFFFF) return TForm::kTooLarge;
  value = static_cast<uint32_t>(v);
  return std::to_string(value) == std::string(s.begin(), s.end()) ? TForm::kId : TForm::kName;
}

int ComparePart(const TPart& a, const TPart& b) {
  if (a.id != b.id) return a.id ? 1 : -1;
  if (a.id) return a.value < b.value ? -1 : a.value > b.value ? 1 : 0;
  int c = a.text.compare(b.text);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::vector<TResource> Merged(const std::vector<TResource>& image, std::vector<TRecord>& records) {
  std::stable_sort(records.begin(), records.end(), [](const TRecord& a, const TRecord& b) {
    int c = CompareResOrder(a.type, b.type);
    return c != 0 ? c < 0 : CompareResOrder(a.name, b.name) < 0;
  });
  std::vector<TResource> merged = image;
  Merge(merged, records);
  return merged;
}

TDirectory WrittenDirectory(const std::vector<TResource>& list) {
  TDirectory d;
  for (const TResource& r : list) {
    auto [it, fresh] = d.try_emplace(TKey{TPart(ThroughAnsi(r.type)), TPart(ThroughAnsi(r.name)), r.language},
                                     TEntry{r.data, r.codePage, r.fromImage});
    if (!fresh) it->second.data = r.data;
  }
  return d;
}

uint64_t DirectorySize(const TDirectory& d, bool& tooManyEntries) {
  uint64_t tables = 16, strings = 0, data = 0;
  uint64_t rootNamed = 0, rootIds = 0, namesNamed = 0, namesIds = 0, languages = 0;
  const TKey* previous = nullptr;
  tooManyEntries = false;
  for (const auto& [key, entry] : d) {
    bool newType = previous == nullptr || ComparePart(previous->type, key.type) != 0;
    bool newName = newType || ComparePart(previous->name, key.name) != 0;
    if (newType) {
      tables += 8 + 16;
      bool named = !key.type.id;
      (named ? rootNamed : rootIds)++;
      if (named) strings += 2 + 2 * uint64_t(key.type.text.size());
      namesNamed = namesIds = 0;
    }
    if (newName) {
      tables += 8 + 16;
      bool named = !key.name.id;
      (named ? namesNamed : namesIds)++;
      if (named) strings += 2 + 2 * uint64_t(key.name.text.size());
      languages = 0;
    }
    tables += 8;
    ++languages;
    tooManyEntries |=
        rootNamed > 0xFFFF || rootIds > 0xFFFF || namesNamed > 0xFFFF || namesIds > 0xFFFF || languages > 0xFFFF;
    data += AlignUp(entry.data->size(), 4);
    previous = &key;
  }
  return AlignUp(tables + 16 * uint64_t(d.size()) + strings, 16) + data;
}

}  // namespace tolvane::fuzz
