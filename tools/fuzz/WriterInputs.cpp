#include "WriterInputs.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "WriterFiles.h"
#include "builders/ImageBuilder.h"
#include "unitResFile.h"

namespace tolvane::fuzz {
namespace {

// Made-up bytes: a block of 61 varied bytes over and over (a prime length, so
// records and sections do not line up with it), copied rather than computed byte
// by byte, which took much of a run for the resources of several MiB.
__attribute__((no_sanitize("coverage"))) Bytes Pattern(size_t size, uint32_t seed) {
  uint8_t block[61];
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : block) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  Bytes b(size);
  for (size_t at = 0; at < size; at += sizeof block)
    std::memcpy(b.data() + at, block, std::min(sizeof block, size - at));
  return b;
}

// size bytes: the first from the fuzzer, the rest made up.
Bytes SomeBytes(FuzzedDataProvider& in, size_t size) {
  Bytes b = in.ConsumeBytes<uint8_t>(std::min<size_t>(size, 24));
  Bytes rest = Pattern(size - b.size(), static_cast<uint32_t>(size));
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

size_t PickLength(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeIntegralInRange<size_t>(1, 16);
    case 1:
      return in.ConsumeIntegralInRange<size_t>(17, 600);
    case 2:
      return in.ConsumeIntegralInRange<size_t>(601, 0x3000);
    default:
      return in.ConsumeIntegralInRange<size_t>(0x3001, 0x20000);
  }
}

size_t PickSection(FuzzedDataProvider& in, const TPe& pe) {
  return in.ConsumeIntegralInRange<size_t>(0, pe.sections.size() - 1);
}

// An address for a directory entry or a debug record: in a section, just past
// one, in the headers, nowhere.
uint32_t PickRva(FuzzedDataProvider& in, const TPe& pe) {
  int kind = in.ConsumeIntegralInRange<int>(0, 5);
  if (pe.sections.empty() && kind < 3) kind = 3;
  switch (kind) {
    case 0:
    case 1: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.va + (s.Vs() == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, s.Vs() - 1));
    }
    case 2: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.va + s.Vs();
    }
    case 3:
      return 0;
    case 4:
      return in.ConsumeIntegralInRange<uint32_t>(1, 0xFFF);
    default:
      return in.ConsumeIntegral<uint32_t>();
  }
}

// A file offset: in a section's bytes, just past them (in a gap where raw sizes
// shrank), in the appended bytes or past them, in the headers or the comment block,
// nowhere.
uint32_t PickOffset(FuzzedDataProvider& in, const TPe& pe) {
  int kind = in.ConsumeIntegralInRange<int>(0, 6);
  if (pe.sections.empty() && (kind < 2 || kind == 6)) kind = 2;
  switch (kind) {
    case 6: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.ptr + s.raw;
    }
    case 0:
    case 1: {
      const TSection& s = pe.sections[PickSection(in, pe)];
      return s.ptr + (s.raw == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, s.raw - 1));
    }
    case 2:
      return static_cast<uint32_t>(pe.sectionsEnd +
                                   in.ConsumeIntegralInRange<uint64_t>(0, pe.b->size() - pe.sectionsEnd + 16));
    case 3:
      return 0;
    case 4:
      return in.ConsumeIntegralInRange<uint32_t>(1, static_cast<uint32_t>(pe.headersEnd + pe.commentSize));
    default:
      return in.ConsumeIntegral<uint32_t>();
  }
}

template <class T, size_t N>
T Pick(FuzzedDataProvider& in, const T (&values)[N]) {
  return values[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

}  // namespace

void Mutate(FuzzedDataProvider& in, Bytes& img) {
  const int changes = in.ConsumeIntegralInRange<int>(0, 6);
  for (int change = 0; change < changes; ++change) {
    TPe pe;
    if (!pe.Parse(img)) return;
    const int op = in.ConsumeIntegralInRange<int>(0, 17);
    if (pe.sections.empty() && (op == 3 || op == 5 || op == 8 || op == 9 || op == 12 || op >= 16)) continue;
    switch (op) {
      case 0: {  // an overlay
        Bytes more = SomeBytes(in, PickLength(in));
        img.insert(img.end(), more.begin(), more.end());
        break;
      }
      case 1: {  // a certificate table after the sections
        if (pe.directoryCount <= kCertificateEntry) break;
        img.resize(AlignUp(img.size(), 8), 0);
        uint32_t length = 8 * in.ConsumeIntegralInRange<uint32_t>(1, 300);
        Bytes cert = SomeBytes(in, length);
        Put32(cert, 0, length);
        Put16(cert, 4, 0x0200);
        Put16(cert, 6, 2);
        uint32_t at = static_cast<uint32_t>(img.size());
        img.insert(img.end(), cert.begin(), cert.end());
        Put32(img, pe.DirAt(kCertificateEntry), at);
        Put32(img, pe.DirAt(kCertificateEntry) + 4, length);
        break;
      }
      case 2: {  // a data directory entry pointing anywhere
        uint32_t k = in.ConsumeIntegralInRange<uint32_t>(0, 15);
        if (k >= pe.directoryCount) break;
        uint32_t va = k == kCertificateEntry ? PickOffset(in, pe) : PickRva(in, pe);
        const uint32_t sizes[] = {0, 8, 0x18, 0x1C, 0x40, 0x100};
        Put32(img, pe.DirAt(k), va);
        Put32(img, pe.DirAt(k) + 4, in.ConsumeBool() ? Pick(in, sizes) : in.ConsumeIntegral<uint16_t>());
        break;
      }
      case 3: {  // debug records in a section, pointing anywhere
        if (pe.directoryCount <= kDebugEntry) break;
        const TSection& s = pe.sections[PickSection(in, pe)];
        uint32_t records = in.ConsumeIntegralInRange<uint32_t>(1, 4);
        if (s.Kept() < kDebugRecord * records || s.va == 0) break;
        uint32_t offset = in.ConsumeIntegralInRange<uint32_t>(0, s.Kept() - kDebugRecord * records) & ~3u;
        for (uint32_t r = 0; r < records; ++r) {
          uint64_t at = uint64_t(s.ptr) + offset + kDebugRecord * r;
          for (uint32_t f = 0; f < kDebugRecord; f += 4) Put32(img, at + f, 0);
          Put32(img, at + 12, in.ConsumeIntegralInRange<uint32_t>(0, 16));
          Put32(img, at + 16, in.ConsumeIntegralInRange<uint32_t>(0, 0x1000));
          Put32(img, at + 20, PickRva(in, pe));
          Put32(img, at + 24, PickOffset(in, pe));
        }
        const uint32_t size = kDebugRecord * records;
        const uint32_t sizes[] = {size, size, size + 4, size - 1, 0, kDebugRecord - 1};
        Put32(img, pe.DirAt(kDebugEntry), s.va + offset);
        Put32(img, pe.DirAt(kDebugEntry) + 4, Pick(in, sizes));
        break;
      }
      case 4:  // the symbol table pointer
        Put32(img, pe.peAt + 12, PickOffset(in, pe));
        if (in.ConsumeBool()) Put32(img, pe.peAt + 16, in.ConsumeIntegralInRange<uint32_t>(0, 4));
        break;
      case 5: {  // a section's relocation and line number pointers
        const TSection& s = pe.sections[PickSection(in, pe)];
        if (in.ConsumeBool()) {
          Put32(img, s.at + 24, PickOffset(in, pe));
          Put16(img, s.at + 32, in.ConsumeIntegralInRange<uint16_t>(0, 3));
        }
        if (in.ConsumeBool()) {
          Put32(img, s.at + 28, PickOffset(in, pe));
          Put16(img, s.at + 34, in.ConsumeIntegralInRange<uint16_t>(0, 3));
        }
        break;
      }
      case 6: {
        const uint32_t alignments[] = {0x200,  1,      2,      4,       16,      32, 0x80, 0x400,
                                       0x1000, 0x2000, 0x8000, 0x10000, 0x20000, 0,  3,    0x300};
        Put32(img, pe.optAt + 36, Pick(in, alignments));
        break;
      }
      case 7: {
        const uint32_t alignments[] = {0x1000, 0x200, 0x800, 0x2000, 0x10000, 0, 0x1800};
        Put32(img, pe.optAt + 32, Pick(in, alignments));
        break;
      }
      case 8: {
        const uint32_t bits[] = {kDiscardable, kCode, kExecute, kInitialized, kUninitialized};
        const TSection& s = pe.sections[PickSection(in, pe)];
        Put32(img, s.at + 36, s.characteristics ^ Pick(in, bits));
        break;
      }
      case 9: {  // a section's sizes, within the file
        const TSection& s = pe.sections[PickSection(in, pe)];
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
          case 0:
            Put32(img, s.at + 8,
                  in.ConsumeBool() ? s.vs + in.ConsumeIntegralInRange<uint32_t>(1, 0x3000)
                                   : in.ConsumeIntegralInRange<uint32_t>(0x7FFFF000, 0xFFFFF000));
            break;
          case 1:
            Put32(img, s.at + 8, s.vs - std::min(s.vs, in.ConsumeIntegralInRange<uint32_t>(1, 0x1000)));
            break;
          case 2:
            Put32(img, s.at + 8, in.ConsumeBool() ? 0 : s.raw);
            break;
          case 3:
            Put32(img, s.at + 16, s.raw - std::min(s.raw, in.ConsumeIntegralInRange<uint32_t>(1, 0x1000)));
            break;
          default: {
            uint64_t room = s.ptr != 0 && s.ptr < img.size() ? img.size() - s.ptr : 0;
            if (s.raw < room)
              Put32(img, s.at + 16,
                    s.raw + in.ConsumeIntegralInRange<uint32_t>(
                                0, static_cast<uint32_t>(std::min<uint64_t>(room - s.raw, 0x4000))));
            break;
          }
        }
        break;
      }
      case 10:
        Put32(img, pe.optAt + 92, in.ConsumeIntegralInRange<uint32_t>(0, (pe.optionalSize - 96u) / 8u));
        break;
      case 11:  // something in the comment block
        if (pe.commentSize > 0)
          img[pe.headersEnd + in.ConsumeIntegralInRange<uint64_t>(0, std::min<uint64_t>(pe.commentSize, 64) - 1)] =
              in.ConsumeIntegralInRange<uint8_t>(1, 255);
        break;
      case 12: {
        const char* names[] = {".reloc", ".rsrc", ".data", "", ".RELOC", ".text"};
        const TSection& s = pe.sections[PickSection(in, pe)];
        const char* name = Pick(in, names);
        for (uint32_t i = 0; i < 8; ++i) img[s.at + i] = i < std::strlen(name) ? static_cast<uint8_t>(name[i]) : 0;
        break;
      }
      case 13:  // entry 2 without a size, elsewhere, or nowhere
        if (pe.directoryCount <= kResourceEntry) break;
        if (in.ConsumeBool())
          Put32(img, pe.DirAt(kResourceEntry) + 4, 0);
        else
          Put32(img, pe.DirAt(kResourceEntry), PickRva(in, pe));
        break;
      case 16: {  // two sections trade places in the table, out of address order
        const TSection &a = pe.sections[PickSection(in, pe)], &b = pe.sections[PickSection(in, pe)];
        std::swap_ranges(img.begin() + a.at, img.begin() + a.at + 40, img.begin() + b.at);
        break;
      }
      case 17:  // a section without an address: the writer places it, but moves nothing with it
        Put32(img, pe.sections[PickSection(in, pe)].at + 12, 0);
        break;
      case 15:  // no entry point: the writer gives an EXE its first code section's address
        Put32(img, pe.optAt + 16, 0);
        break;
      case 14: {  // one more section, in the comment block's zeros
        if (pe.commentSize < 40 || std::any_of(img.begin() + pe.headersEnd, img.begin() + pe.headersEnd + 40,
                                               [](uint8_t v) { return v != 0; }))
          break;
        uint32_t SA = IsPowerOfTwo(pe.SectionAlignment()) ? pe.SectionAlignment() : 0x1000;
        uint64_t end = SA;
        for (const TSection& s : pe.sections) end = std::max<uint64_t>(end, uint64_t(s.va) + s.Vs());
        uint32_t vs = in.ConsumeIntegralInRange<uint32_t>(1, 0x3000), raw = 0, ptr = 0;
        if (in.ConsumeBool()) {  // its bytes are the appended ones
          ptr = static_cast<uint32_t>(pe.sectionsEnd);
          raw = static_cast<uint32_t>(std::min<uint64_t>(img.size() - pe.sectionsEnd, vs));
          if (raw == 0) ptr = 0;
        }
        const char* names[] = {".late", ".reloc", "/4", ".debug"};
        const uint32_t kinds[] = {0x42000040, 0xC0000040, 0xC0000080, 0x40000040};
        const char* name = Pick(in, names);
        uint32_t at = pe.headersEnd;
        for (uint32_t i = 0; i < 8; ++i) img[at + i] = i < std::strlen(name) ? static_cast<uint8_t>(name[i]) : 0;
        Put32(img, at + 8, vs);
        Put32(img, at + 12, static_cast<uint32_t>(AlignUp(end, SA)));
        Put32(img, at + 16, raw);
        Put32(img, at + 20, ptr);
        Put32(img, at + 36, Pick(in, kinds));
        Put16(img, pe.peAt + 6, static_cast<uint16_t>(pe.sections.size() + 1));
        break;
      }
    }
  }
}

namespace {

const uint16_t kTypicalIds[] = {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 14, 16, 24, 100, 200, 256, 0, 65535};
const char16_t* const kTrickyTexts[] = {
    u"MYTYPE", u"mytype", u"CONFIG",  u"config", u"HELLO",           u"STAMPTYPE",    u"MAINICON",   u"007",
    u"0",      u"00",     u"7",       u"10",     u"65535",           u"65536",        u"2147483647", u"2147483648",
    u"",       u"A",      u"a",       u"_",      u"Gr\u00FC\u00DFe", u"\u540D\u524D", u"\U0001F600", u"\xD800",
    u"\xDC00", u"\xDBFF", u"x\xDC00", u"\xFFFE", u"CONFIG ",         u"A\u0301"};

// A type or name: a usual ID, any ID, one of the image's own (as it is, with the
// case of a letter changed, or with a leading zero), a tricky text, any text.
std::u16string PickId(FuzzedDataProvider& in, const std::vector<std::u16string>& image) {
  // Names of tens of thousands of characters cost every step of a run: rarely.
  int kind = in.ConsumeIntegralInRange<int>(0, 31);
  kind = kind < 31 ? kind % 7 : 7;
  if (image.empty() && kind >= 2 && kind <= 4) kind = 0;
  switch (kind) {
    case 0: {
      std::string digits = std::to_string(Pick(in, kTypicalIds));
      return std::u16string(digits.begin(), digits.end());
    }
    case 1: {
      std::string digits = std::to_string(in.ConsumeIntegral<uint16_t>());
      return std::u16string(digits.begin(), digits.end());
    }
    case 2:
      return image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
    case 3: {
      std::u16string s = image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
      for (char16_t& c : s)
        if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')) {
          c ^= 0x20;
          break;
        }
      return s;
    }
    case 4:
      return u"0" + image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
    case 5:
      return Pick(in, kTrickyTexts);
    case 6: {
      std::u16string s;
      const int length = in.ConsumeIntegralInRange<int>(1, 12);
      const int alphabet = in.ConsumeIntegralInRange<int>(0, 3);
      for (int i = 0; i < length; ++i) {
        uint16_t v = in.ConsumeIntegral<uint16_t>();
        s += alphabet == 0   ? static_cast<char16_t>(u'A' + v % 26)
             : alphabet == 1 ? static_cast<char16_t>(u"0123456789abcxyz_"[v % 17])
             : alphabet == 2 ? static_cast<char16_t>(0xD800 + v % 0x800)
                             : static_cast<char16_t>(v);
      }
      return s;
    }
    default: {
      const size_t lengths[] = {255, 256, 4000, 65535, 65536};
      return std::u16string(Pick(in, lengths), u'N');
    }
  }
}

// A .RES record cannot hold a zero unit, nor begin with U+FFFF (the mark of a number).
std::u16string Recordable(std::u16string s) {
  for (char16_t& c : s)
    if (c == 0) c = u'z';
  if (!s.empty() && s[0] == 0xFFFF) s[0] = u'y';
  return s;
}

test::ResId AsResId(FuzzedDataProvider& in, const std::u16string& id) {
  uint32_t value;
  if (FormOf(id, value) == TForm::kId && value <= 0xFFFF && !in.ConsumeBool())
    return test::ResId::Ord(static_cast<uint16_t>(value));
  return test::ResId::Str(id);
}

// Resource bytes from none to a few MiB, within what the input may still spend.
Bytes PickData(FuzzedDataProvider& in, uint64_t& budget) {
  // Mostly small; enough now and then to move the sections after the resource
  // section by pages; rarely megabytes (every byte is written, summed, read and
  // written again).
  const int bucket = in.ConsumeIntegralInRange<int>(0, 63);
  size_t size;
  if (bucket < 4)
    size = 0;
  else if (bucket < 28)
    size = in.ConsumeIntegralInRange<size_t>(1, 16);
  else if (bucket < 48)
    size = in.ConsumeIntegralInRange<size_t>(17, 600);
  else if (bucket < 58)
    size = in.ConsumeIntegralInRange<size_t>(601, 20000);
  else if (bucket < 63)
    size = in.ConsumeIntegralInRange<size_t>(20001, 300000);
  else
    size = in.ConsumeIntegralInRange<size_t>(300001, 4 << 20);
  if (size > budget) size = 0;
  budget -= size;
  return SomeBytes(in, size);
}

}  // namespace

void AddRecords(FuzzedDataProvider& in, const std::vector<TResource>& image, test::ResBuilder& file,
                std::vector<TRecord>& records) {
  std::vector<std::u16string> types, names;
  for (const TResource& r : image) {
    types.push_back(r.type);
    names.push_back(r.name);
  }
  // As many records as a directory table can count, and one more: one type, every
  // ID as a name, or one name in every language. Each such run takes seconds, and
  // libFuzzer keeps many of them for their loop counts, so only with
  // TOLVANE_FUZZ_BULK=1 (coverage.sh sets it; the corpus holds two such inputs).
  static const bool bulk = std::getenv("TOLVANE_FUZZ_BULK") != nullptr;
  if (in.ConsumeIntegralInRange<int>(0, 255) == 255 && bulk) {
    // Language 0 comes last: before the others, it would take each of them in.
    const uint32_t n = in.ConsumeBool() ? 0x10000 : 0xFFFF;
    const bool languages = in.ConsumeBool();
    for (uint32_t k = 1; k <= n; ++k) {
      test::ResRecord record;
      record.type = test::ResId::Ord(300);
      record.name = test::ResId::Ord(static_cast<uint16_t>(languages ? 1 : k - 1));
      record.language = static_cast<uint16_t>(languages ? k : 0x409);
      record.data = {static_cast<uint8_t>(k)};
      file.Add(record);
      std::string name = std::to_string(languages ? 1 : k - 1);
      records.push_back({u"300", std::u16string(name.begin(), name.end()), record.language, record.data});
    }
  }
  uint64_t budget = 8 << 20;
  const int count = in.ConsumeIntegralInRange<int>(0, 24);
  for (int k = 0; k < count; ++k) {
    TRecord r;
    int kind = in.ConsumeIntegralInRange<int>(0, 4);
    std::vector<const TResource*> neutral;
    for (const TResource& e : image)
      if (e.language == 0) neutral.push_back(&e);
    if ((kind == 1 && image.empty()) || (kind == 2 && neutral.empty()) || (kind == 3 && records.empty())) kind = 0;
    switch (kind) {
      case 1: {
        const TResource& e = image[in.ConsumeIntegralInRange<size_t>(0, image.size() - 1)];
        r.type = e.type;
        r.name = e.name;
        r.language = e.language & 0xFFFF;
        break;
      }
      case 2: {
        const TResource& e = *neutral[in.ConsumeIntegralInRange<size_t>(0, neutral.size() - 1)];
        r.type = e.type;
        r.name = e.name;
        for (uint32_t language : {0x409u, 0x407u, 0x411u, 0x40Cu, 0x419u, 1u, 0xFFFFu}) {
          bool taken = std::any_of(image.begin(), image.end(), [&](const TResource& o) {
            return o.type == e.type && o.name == e.name && o.language == language;
          });
          if (!taken) {
            r.language = language;
            break;
          }
        }
        break;
      }
      case 3: {
        const TRecord& e = records[in.ConsumeIntegralInRange<size_t>(0, records.size() - 1)];
        r.type = e.type;
        r.name = e.name;
        r.language = in.ConsumeBool() ? e.language : in.ConsumeIntegral<uint16_t>();
        break;
      }
      default: {
        r.type = PickId(in, types);
        r.name = kind == 4 && !image.empty() ? names[in.ConsumeIntegralInRange<size_t>(0, names.size() - 1)]
                                             : PickId(in, names);
        const uint32_t languages[] = {0, 0x409, 0x407, 0x809, 0x411};
        r.language = in.ConsumeBool() ? Pick(in, languages) : in.ConsumeIntegral<uint16_t>();
        break;
      }
    }
    r.type = Recordable(r.type);
    r.name = Recordable(r.name);
    r.data = PickData(in, budget);
    test::ResRecord record;
    record.type = AsResId(in, r.type);
    record.name = AsResId(in, r.name);
    record.language = static_cast<uint16_t>(r.language);
    record.memoryFlags = in.ConsumeIntegral<uint16_t>();
    record.characteristics = in.ConsumeIntegral<uint32_t>();
    record.data = r.data;
    file.Add(record);
    // The reader takes an empty record named 0 for the mark that opens a 32-bit file.
    if (!(r.data.empty() && r.name == u"0")) records.push_back(std::move(r));
  }
}

namespace {

// Base relocations that mean something: fixups in the sections' bytes holding
// addresses of the image (in a section, in its slack or past it, anywhere), one
// block each, written over the relocation section's bytes, so that code points into
// sections a layout might move. HIGH, LOW and a type no loader knows come too, and
// a HIGHADJ whose block ends before its second slot.
void AddBaseRelocations(FuzzedDataProvider& in, test::ImageBuilder& b, const TPe& placed, int relocAt, int resourceAt) {
  std::vector<int> holders;
  for (int j = 0; j < static_cast<int>(placed.sections.size()); ++j)
    if (j != relocAt && j != resourceAt && b.Section(j).data.size() >= 8) holders.push_back(j);
  Bytes& blocks = b.Section(relocAt).data;
  if (holders.empty() || blocks.size() < 12) return;
  constexpr uint64_t kImageBase = 0x400000;  // the builder's
  size_t used = 0;
  const int count = in.ConsumeIntegralInRange<int>(1, 8);
  for (int k = 0; k < count && used + 12 <= blocks.size(); ++k) {
    const int at = holders[in.ConsumeIntegralInRange<size_t>(0, holders.size() - 1)];
    Bytes& bytes = b.Section(at).data;
    const uint16_t types[] = {kFixupHighLow, kFixupHighLow, kFixupHighLow,
                              kFixupHighLow, kFixupDir64,   kFixupHighAdj,
                              kFixupHigh,    kFixupLow,     5};
    const uint16_t type = Pick(in, types);
    const uint32_t offset = in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(bytes.size() - 8));
    const TSection& t = placed.sections[PickSection(in, placed)];
    uint32_t target;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
      case 1:
        target = t.va + (t.Vs() == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, t.Vs() - 1));
        break;
      case 2:
        target = t.va + t.Vs() + in.ConsumeIntegralInRange<uint32_t>(0, 0x20);
        break;
      default:
        target = in.ConsumeIntegral<uint32_t>();
    }
    const uint64_t pointer = kImageBase + target;
    if (type == kFixupDir64) {
      putU32LE(bytes.data() + offset, static_cast<uint32_t>(pointer));
      putU32LE(bytes.data() + offset + 4, static_cast<uint32_t>(pointer >> 32));
    } else if (type == kFixupHighAdj || type == kFixupHigh) {
      // The high half rounded, so that the sign-extended low half adds back to the pointer.
      putU16LE(bytes.data() + offset, static_cast<uint16_t>((pointer + 0x8000) >> 16));
    } else if (type == kFixupLow) {
      putU16LE(bytes.data() + offset, static_cast<uint16_t>(pointer));
    } else {
      putU32LE(bytes.data() + offset, static_cast<uint32_t>(pointer));
    }
    const uint32_t rva = placed.sections[static_cast<size_t>(at)].va + offset;
    // The slot after the entry: a HIGHADJ's low half, else padding; or, for a
    // HIGHADJ now and then, past the block's end.
    const uint32_t blockSize = type == kFixupHighAdj && in.ConsumeIntegralInRange<int>(0, 7) == 0 ? 10 : 12;
    putU32LE(blocks.data() + used, rva & ~0xFFFu);
    putU32LE(blocks.data() + used + 4, blockSize);
    putU16LE(blocks.data() + used + 8, static_cast<uint16_t>(type << 12 | (rva & 0xFFF)));
    if (blockSize == 12)
      putU16LE(blocks.data() + used + 10, type == kFixupHighAdj ? static_cast<uint16_t>(pointer) : 0);
    used += blockSize;
  }
  b.DataDirectory(static_cast<int>(kRelocationEntry), placed.sections[static_cast<size_t>(relocAt)].va,
                  static_cast<uint32_t>(used));
}

}  // namespace

Bytes BuildImage(FuzzedDataProvider& in) {
  test::ImageBuilder b;
  const uint32_t fileAlignments[] = {0x200, 1, 0x10, 0x1000};
  const uint32_t sectionAlignments[] = {0x1000, 0x2000, 0x200};
  b.FileAlignment(Pick(in, fileAlignments)).SectionAlignment(Pick(in, sectionAlignments)).Dll(in.ConsumeBool());
  // A DOS stub of any length (an odd one puts the CheckSum field off word
  // alignment), fewer or more data directories, bytes after them.
  if (in.ConsumeBool()) {
    const size_t stubs[] = {0, 1, 3, 63, 65, 200};
    b.DosStub(Pattern(Pick(in, stubs), 7));
  }
  if (in.ConsumeBool()) {
    const uint32_t counts[] = {3, 6, 7, 16, 20};
    const uint32_t count = Pick(in, counts);
    b.DataDirectories(count).SizeOfOptionalHeader(
        static_cast<uint16_t>(96 + 8 * count + 8 * in.ConsumeIntegralInRange<uint32_t>(0, 4)));
  }
  const int count = in.ConsumeIntegralInRange<int>(1, 6);
  const int resourceAt = in.ConsumeIntegralInRange<int>(0, count);  // count: none
  int relocAt = -1;
  const char* names[] = {".text", ".data", ".rdata", ".idata", ".reloc", ".debug", "/4", ".bss", ".tls"};
  const uint32_t kinds[] = {
      test::kCode, test::kInitializedData, test::kReadOnlyData, test::kUninitializedData, test::kDiscardableData,
      0x42000000};
  const size_t sizes[] = {16, 100, 0x200, 0x1234, 0x3000, 0};
  for (int i = 0; i < count; ++i) {
    if (i == resourceAt) {
      b.AddSection(test::Section(".rsrc"));
      continue;
    }
    test::SectionSpec s =
        test::Section(Pick(in, names), Pattern(Pick(in, sizes), static_cast<uint32_t>(i)), Pick(in, kinds));
    if (s.data.empty() || in.ConsumeBool())
      s.VirtualSize(static_cast<uint32_t>(s.data.size()) + in.ConsumeIntegralInRange<uint32_t>(1, 0x2000));
    if (s.name == ".reloc") relocAt = i;
    b.AddSection(s);
  }
  std::vector<test::ResourceSpec> resources;
  const int resourceCount = in.ConsumeIntegralInRange<int>(0, 8);
  auto key = [&](bool type) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return test::ResKey::Id(type ? Pick(in, kTypicalIds) : in.ConsumeIntegralInRange<uint32_t>(0, 9));
      case 1:
        return test::ResKey::Id(in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : 7);
      case 2:
        return test::ResKey::Name(Pick(in, kTrickyTexts));
      default: {
        std::u16string name = u"N";
        name += static_cast<char16_t>(u'0' + in.ConsumeIntegralInRange<int>(0, 9));
        return test::ResKey::Name(name);
      }
    }
  };
  for (int i = 0; i < resourceCount; ++i) {
    test::ResKey type = key(true), name = key(false);
    const uint32_t languages[] = {0, 0x409, 0x407, 0x10409};
    uint32_t language = Pick(in, languages);
    const uint32_t codePages[] = {0, 1252, 65001};
    resources.emplace_back(type, name, language, SomeBytes(in, in.ConsumeIntegralInRange<size_t>(0, 40)),
                           Pick(in, codePages));
  }
  if (in.ConsumeBool()) b.CommentBlock(Bytes(in.ConsumeIntegralInRange<size_t>(1, 200), in.ConsumeBool() ? 0 : 0xCC));
  if (in.ConsumeBool())
    b.WithSymbolTable()
        .AddSymbol(test::Symbol("_start").SectionNumber(1))
        .AddSymbol(test::Symbol("a_longer_symbol_name"));
  if (in.ConsumeBool()) b.Append(SomeBytes(in, PickLength(in)));

  // The resource directory holds addresses: place the section first, then fill it.
  if (resourceAt < count) b.Section(resourceAt).data = test::BuildResourceDirectory(resources, 0).bytes;
  TPe first;
  Bytes placed = b.Build().bytes;
  if (!first.Parse(placed)) Wrong("model: the builder's image has no headers", "%s", "");
  if (resourceAt < count) {
    uint32_t va = first.sections[static_cast<size_t>(resourceAt)].va;
    test::ResourceBlob blob = test::BuildResourceDirectory(resources, va);
    b.Section(resourceAt).VirtualAddress(va).data = blob.bytes;
    b.DataDirectory(2, va, static_cast<uint32_t>(blob.bytes.size()));
  }
  if (relocAt >= 0) {
    const TSection& s = first.sections[static_cast<size_t>(relocAt)];
    b.DataDirectory(5, s.va, s.Vs());
    if (in.ConsumeBool()) AddBaseRelocations(in, b, first, relocAt, resourceAt);
  }
  return b.Build().bytes;
}

const std::vector<TRecord>& BaseRecords(size_t index) {
  static std::map<size_t, std::vector<TRecord>> cache;
  auto [it, fresh] = cache.try_emplace(index);
  if (fresh) {
    TResModule res;
    res.LoadFromBytes(ByteView(kWriterResFiles[index].data, kWriterResFiles[index].size));
    it->second = RecordsOf(res);
  }
  return it->second;
}

std::vector<TRecord> RecordsOf(const TResModule& res) {
  std::vector<TRecord> records;
  for (int i = 0; i < res.ResourceCount(); ++i) {
    const TResourceDetails* d = res.ResourceDetails(i);
    ByteView v = d->RawData().View();
    records.push_back(
        {d->ResourceType(), d->ResourceName(), d->ResourceLanguage(), Bytes(v.data(), v.data() + v.size())});
  }
  return records;
}

bool IsPairAsItIs(const uint8_t* data, size_t size) {
  static const uint8_t kMark[32] = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
  TCombinationInput pair(data, size);
  return pair.Res().size() >= sizeof kMark && std::equal(kMark, kMark + sizeof kMark, pair.Res().data()) &&
         pair.Image().size() >= 2 && pair.Image().data()[0] == 'M' && pair.Image().data()[1] == 'Z';
}

}  // namespace tolvane::fuzz
