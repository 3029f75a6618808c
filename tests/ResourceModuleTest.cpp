// The container of resources, on both kinds of module (images and .RES files):
// lookup, unique names, dirty state, deletion, insertion and sorting; then copying
// between modules and what the abstract base refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders/ImageFiles.h"
#include "builders/ResBuilder.h"
#include "builders/TestFiles.h"
#include "unitResFile.h"
#include "unitResourceDetails.h"

namespace tolvane::test {
namespace {

TResourceDetails* AddTo(TResourceModule& module, const std::u16string& type, const std::u16string& name,
                        uint32_t language = 0, const Bytes& data = {1, 2, 3}) {
  return AddResource(module, type, name, language, data);
}

std::unique_ptr<TResourceDetails> Details(const std::u16string& type, const std::u16string& name) {
  return TResourceDetails::CreateResourceDetails(nullptr, 0, name, type, 2, Bytes{1, 2}.data());
}

// Records what happens to it, to see that deletion frees.
class TWatchedDetails : public TResourceDetails {
public:
  TWatchedDetails(bool& destroyed, bool& warned)
      : TResourceDetails(nullptr, 0, u"1", u"10"), fDestroyed(destroyed), fWarned(warned) {}
  ~TWatchedDetails() override { fDestroyed = true; }
  void BeforeDelete() override { fWarned = true; }

private:
  bool& fDestroyed;
  bool& fWarned;
};

// In the order both kinds of file keep them.
const std::vector<ResourceSpec> kSample = {
    {ResKey::Name(u"MYTYPE"), ResKey::Name(u"HELLO"), 0x409, TextBytes("hello, world")},
    {ResKey::Id(3), ResKey::Id(1), 0x409, Fill(40, 0xA1)},
    {ResKey::Id(3), ResKey::Id(2), 0x409, Fill(70, 0xA2)},
    {ResKey::Id(6), ResKey::Id(1), 0x407, Fill(9, 0xB7)},
    {ResKey::Id(6), ResKey::Id(1), 0x409, Fill(11, 0xB9)},
};
const std::vector<ResourceSpec> kTwoResources = {{ResKey::Id(10), ResKey::Id(1), 0, TextBytes("first")},
                                                 {ResKey::Id(10), ResKey::Id(2), 0, TextBytes("second")}};

// The module read from its kind of file, holding the resources given.
template <class Module>
std::unique_ptr<Module> Read(const std::vector<ResourceSpec>& resources);

template <>
std::unique_ptr<TResModule> Read(const std::vector<ResourceSpec>& resources) {
  auto id = [](const ResKey& k) { return k.named ? ResId::Str(k.name) : ResId::Ord(static_cast<uint16_t>(k.id)); };
  ResBuilder b;
  b.EmptyRecord();
  for (const ResourceSpec& s : resources) {
    ResRecord r;
    r.type = id(s.type);
    r.name = id(s.name);
    r.language = static_cast<uint16_t>(s.language);
    r.data = s.data;
    b.Add(r);
  }
  return LoadRes(b.Bytes());
}

template <>
std::unique_ptr<TPEResourceModule> Read(const std::vector<ResourceSpec>& resources) {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x40, 0xCC), kCode));
  b.AddResourceSection(0x2000, resources);
  return LoadImage(b.Build());
}

template <class Module>
class ResourceContainer : public ::testing::Test {};

using Kinds = ::testing::Types<TResModule, TPEResourceModule>;
TYPED_TEST_SUITE(ResourceContainer, Kinds);

// ---- FindResource ----

TYPED_TEST(ResourceContainer, FindExactLanguageFirstThenNeutralWhateverTheOrder) {
  for (bool neutralFirst : {true, false}) {
    TypeParam module;
    TResourceDetails* neutral = nullptr;
    TResourceDetails* english = nullptr;
    if (neutralFirst) neutral = AddTo(module, u"6", u"1", 0);
    english = AddTo(module, u"6", u"1", 1033);
    if (!neutralFirst) neutral = AddTo(module, u"6", u"1", 0);
    TResourceDetails* german = AddTo(module, u"6", u"1", 1031);

    EXPECT_EQ(module.FindResource(u"6", u"1", 1033), english) << neutralFirst;
    EXPECT_EQ(module.FindResource(u"6", u"1", 1031), german) << neutralFirst;
    EXPECT_EQ(module.FindResource(u"6", u"1", 0), neutral) << neutralFirst;
    EXPECT_EQ(module.FindResource(u"6", u"1", 1036), neutral) << neutralFirst;  // French falls back
    EXPECT_EQ(module.FindResource(u"6", u"2", 1033), nullptr) << neutralFirst;
    EXPECT_EQ(module.FindResource(u"5", u"1", 1033), nullptr) << neutralFirst;
  }
}

TYPED_TEST(ResourceContainer, FindNoFallbackWithoutANeutralOne) {
  TypeParam module;
  AddTo(module, u"6", u"1", 1033);
  EXPECT_EQ(module.FindResource(u"6", u"1", 1031), nullptr);
}

TYPED_TEST(ResourceContainer, FindNamesAndTypesAreCaseSensitive) {
  TypeParam module;
  TResourceDetails* d = AddTo(module, u"MyType", u"Hello", 1033);
  EXPECT_EQ(module.FindResource(u"MyType", u"Hello", 1033), d);
  EXPECT_EQ(module.FindResource(u"MyType", u"HELLO", 1033), nullptr);
  EXPECT_EQ(module.FindResource(u"MYTYPE", u"Hello", 1033), nullptr);
}

// ---- GetUniqueResourceName ----

TYPED_TEST(ResourceContainer, UniqueNameOneAboveTheHighestNumberOfThatType) {
  TypeParam module;
  AddTo(module, u"10", u"1");
  AddTo(module, u"10", u"7");
  AddTo(module, u"10", u"CONFIG");
  AddTo(module, u"6", u"300");  // another type's numbers do not count
  EXPECT_EQ(module.GetUniqueResourceName(u"10"), u"8");
  EXPECT_EQ(module.GetUniqueResourceName(u"6"), u"301");
  EXPECT_EQ(module.GetUniqueResourceName(u"16"), u"1");
  EXPECT_EQ(module.GetUniqueResourceName(u"MYTYPE"), u"1");
}

TYPED_TEST(ResourceContainer, UniqueNameGapsAreNotFilled) {
  TypeParam module;
  AddTo(module, u"3", u"5");
  AddTo(module, u"3", u"1");
  EXPECT_EQ(module.GetUniqueResourceName(u"3"), u"6");
}

TYPED_TEST(ResourceContainer, UniqueNameOnlyNamesGiveOne) {
  TypeParam module;
  AddTo(module, u"3", u"ALPHA");
  AddTo(module, u"3", u"12a");
  EXPECT_EQ(module.GetUniqueResourceName(u"3"), u"1");
}

TYPED_TEST(ResourceContainer, UniqueNameAnOverlongDigitNamePassesTheConversionErrorOn) {
  TypeParam module;
  AddTo(module, u"3", u"99999999999");
  AddTo(module, u"3", u"4");
  Thrown t = Capture([&] { module.GetUniqueResourceName(u"3"); });
  EXPECT_EQ(t.className, "EConvertError");
  EXPECT_EQ(t.message, "'99999999999' is not a valid integer value");
  EXPECT_EQ(module.GetUniqueResourceName(u"4"), u"1");
}

// ---- dirty state ----

TYPED_TEST(ResourceContainer, NotDirtyAfterLoadDirtyAfterDelete) {
  auto loaded = Read<TypeParam>(kTwoResources);
  TypeParam& module = *loaded;
  EXPECT_FALSE(module.Dirty());
  module.DeleteResource(0);
  EXPECT_TRUE(module.Dirty());
  EXPECT_EQ(module.ResourceCount(), 1);
  EXPECT_EQ(module.ResourceDetails(0)->ResourceName(), u"2");
}

TYPED_TEST(ResourceContainer, NotDirtyAfterASuccessfulSave) {
  ScratchDir dir;
  auto loaded = Read<TypeParam>(kTwoResources);
  TypeParam& module = *loaded;
  module.DeleteResource(1);
  module.ResourceDetails(0)->SetResourceName(u"RENAMED");
  ASSERT_TRUE(module.Dirty());
  module.SaveToFile(dir.file16("out"));
  EXPECT_FALSE(module.Dirty());
  EXPECT_FALSE(module.ResourceDetails(0)->Dirty());
}

TYPED_TEST(ResourceContainer, ADirtyResourceMakesTheModuleDirty) {
  TypeParam module;
  TResourceDetails* d = AddTo(module, u"10", u"1");
  EXPECT_FALSE(module.Dirty());  // adding alone does not mark anything
  d->SetResourceName(u"2");
  EXPECT_TRUE(module.Dirty());
  // Clearing the module's own flag leaves the resources' flags alone.
  module.SetDirty(false);
  EXPECT_TRUE(module.Dirty());
  EXPECT_TRUE(d->Dirty());
  d->SetDirty(false);
  EXPECT_FALSE(module.Dirty());
  module.SetDirty(true);
  EXPECT_TRUE(module.Dirty());
  EXPECT_FALSE(d->Dirty());
}

// ---- deletion and membership ----

TYPED_TEST(ResourceContainer, DeleteWarnsFreesAndMarksDirty) {
  TypeParam module;
  bool destroyed = false, warned = false;
  module.AddResource(std::make_unique<TWatchedDetails>(destroyed, warned));
  AddTo(module, u"10", u"2");
  module.DeleteResource(0);
  EXPECT_TRUE(warned);
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(module.Dirty());
  EXPECT_EQ(module.ResourceCount(), 1);
}

TYPED_TEST(ResourceContainer, DestroyingTheModuleFreesItsResources) {
  bool destroyed = false, warned = false;
  {
    TypeParam module;
    module.AddResource(std::make_unique<TWatchedDetails>(destroyed, warned));
  }
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(warned);
}

TYPED_TEST(ResourceContainer, DeletingAnIndexOutsideTheListIsAListError) {
  TypeParam module;
  AddTo(module, u"10", u"1");
  Thrown t = Capture([&] { module.DeleteResource(1); });
  EXPECT_EQ(t.className, "EListError");
  EXPECT_EQ(t.message, "List index out of bounds (1)");
  t = Capture([&] { module.ResourceDetails(-1); });
  EXPECT_EQ(t.className, "EListError");
  EXPECT_EQ(module.ResourceCount(), 1);
  EXPECT_FALSE(module.Dirty());
}

TYPED_TEST(ResourceContainer, IndexOfAForeignObjectIsMinusOne) {
  TypeParam a, b;
  TResourceDetails* mine = AddTo(a, u"10", u"1");
  TResourceDetails* theirs = AddTo(b, u"10", u"1");
  EXPECT_EQ(a.IndexOfResource(mine), 0);
  EXPECT_EQ(a.IndexOfResource(theirs), -1);
  EXPECT_EQ(a.IndexOfResource(nullptr), -1);
  auto loose = TResourceDetails::ClassInfo.CreateNewDetached(0, u"1");
  EXPECT_EQ(a.IndexOfResource(loose.get()), -1);
}

TYPED_TEST(ResourceContainer, InsertPlacesAtTheIndex) {
  TypeParam module;
  AddTo(module, u"10", u"1");
  AddTo(module, u"10", u"3");
  auto d = TResourceDetails::ClassInfo.CreateNewDetached(0, u"2");
  TResourceDetails* raw = d.get();
  module.InsertResource(1, std::move(d));
  EXPECT_EQ(module.IndexOfResource(raw), 1);
  module.InsertResource(3, TResourceDetails::ClassInfo.CreateNewDetached(0, u"4"));
  EXPECT_EQ(module.ResourceDetails(3)->ResourceName(), u"4");
  EXPECT_EQ(
      Capture([&] { module.InsertResource(5, TResourceDetails::ClassInfo.CreateNewDetached(0, u"9")); }).className,
      "EListError");
}

// ---- insertion and sorting ----

TYPED_TEST(ResourceContainer, DeleteResourceFreesItAndTheCountDrops) {
  auto m = Read<TypeParam>(kSample);
  bool destroyed = false, warned = false;
  m->InsertResource(0, std::make_unique<TWatchedDetails>(destroyed, warned));
  TResourceDetails* second = m->ResourceDetails(1);
  m->DeleteResource(0);
  EXPECT_TRUE(warned);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(m->ResourceCount(), 5);
  EXPECT_EQ(m->ResourceDetails(0), second);
  EXPECT_TRUE(m->Dirty());
}

TYPED_TEST(ResourceContainer, DeleteResourceOfALoadedModuleDropsTheFirst) {
  auto m = Read<TypeParam>(kSample);
  TResourceDetails* second = m->ResourceDetails(1);
  m->DeleteResource(0);
  EXPECT_EQ(m->ResourceCount(), 4);
  EXPECT_EQ(m->ResourceDetails(0), second);
}

TYPED_TEST(ResourceContainer, IndexesOutsideTheListRaiseTheListError) {
  auto m = Read<TypeParam>(kSample);
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->ResourceDetails(5); }), "List index out of bounds (5)");
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->ResourceDetails(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->DeleteResource(5); }), "List index out of bounds (5)");
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->InsertResource(7, Details(u"10", u"X")); }),
            "List index out of bounds (7)");
  EXPECT_EQ(RefusalMessage<EListError>([&] { m->InsertResource(-1, Details(u"10", u"X")); }),
            "List index out of bounds (-1)");
  EXPECT_EQ(m->ResourceCount(), 5);
}

TYPED_TEST(ResourceContainer, InsertPutsTheResourceAtTheIndexOrAtTheEnd) {
  auto m = Read<TypeParam>(kSample);
  auto first = Details(u"10", u"FIRST");
  TResourceDetails* f = first.get();
  m->InsertResource(0, std::move(first));
  auto last = Details(u"10", u"LAST");
  TResourceDetails* l = last.get();
  m->InsertResource(6, std::move(last));
  EXPECT_EQ(m->ResourceCount(), 7);
  EXPECT_EQ(m->ResourceDetails(0), f);
  EXPECT_EQ(m->ResourceDetails(6), l);
}

TYPED_TEST(ResourceContainer, AddAppendsAndGivesTheIndex) {
  auto m = Read<TypeParam>(kSample);
  auto d = Details(u"10", u"NEW");
  TResourceDetails* p = d.get();
  EXPECT_EQ(m->AddResource(std::move(d)), 5);
  EXPECT_EQ(m->IndexOfResource(p), 5);
}

TYPED_TEST(ResourceContainer, IndexOfIsByIdentity) {
  auto m = Read<TypeParam>(kSample);
  EXPECT_EQ(m->IndexOfResource(m->ResourceDetails(3)), 3);
  auto stranger = Details(u"6", u"1");
  EXPECT_EQ(m->IndexOfResource(stranger.get()), -1);
  EXPECT_EQ(m->IndexOfResource(nullptr), -1);
}

TYPED_TEST(ResourceContainer, SortOrdersByTypeThenNameWithNamesFirst) {
  TypeParam m;
  m.AddResource(Details(u"6", u"2"));
  m.AddResource(Details(u"10", u"1"));
  m.AddResource(Details(u"6", u"ABC"));
  m.AddResource(Details(u"MYTYPE", u"1"));
  m.AddResource(Details(u"3", u"7"));
  m.SortResources();
  std::vector<std::pair<std::u16string, std::u16string>> order;
  for (int i = 0; i < m.ResourceCount(); ++i)
    order.emplace_back(m.ResourceDetails(i)->ResourceType(), m.ResourceDetails(i)->ResourceName());
  std::vector<std::pair<std::u16string, std::u16string>> expected = {
      {u"MYTYPE", u"1"}, {u"3", u"7"}, {u"6", u"ABC"}, {u"6", u"2"}, {u"10", u"1"}};
  EXPECT_EQ(order, expected);
}

TYPED_TEST(ResourceContainer, SortingGivesTheFileOrder) {
  TypeParam module;
  for (auto [type, name] : std::vector<std::pair<const char16_t*, const char16_t*>>{{u"24", u"1"},
                                                                                    {u"10", u"7"},
                                                                                    {u"MYTYPE", u"5"},
                                                                                    {u"10", u"CONFIG"},
                                                                                    {u"6", u"2"},
                                                                                    {u"mytype", u"HELLO"},
                                                                                    {u"10", u"100"},
                                                                                    {u"3", u"1"}})
    module.AddResource(Details(type, name));
  module.SortResources();
  std::vector<std::u16string> order;
  for (int i = 0; i < module.ResourceCount(); ++i)
    order.push_back(module.ResourceDetails(i)->ResourceType() + u"/" + module.ResourceDetails(i)->ResourceName());
  std::vector<std::u16string> expected = {u"mytype/HELLO", u"MYTYPE/5", u"3/1",    u"6/2",
                                          u"10/CONFIG",    u"10/7",     u"10/100", u"24/1"};
  EXPECT_EQ(order, expected);
}

TYPED_TEST(ResourceContainer, CreateNewAddsTheResourceToTheModule) {
  TypeParam module;
  TResourceDetails* d = TAnsiResourceDetails::ClassInfo.CreateNew(&module, 1033, u"FRESH");
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(module.ResourceCount(), 1);
  EXPECT_EQ(module.ResourceDetails(0), d);
  EXPECT_EQ(d->Parent(), &module);
  EXPECT_EQ(d->ClassType(), &TAnsiResourceDetails::ClassInfo);
  EXPECT_EQ(d->ResourceName(), u"FRESH");
  EXPECT_EQ(d->ResourceType(), u"0");
  EXPECT_EQ(d->RawData().Size(), 0);

  TResourceDetails* second = TResourceDetails::ClassInfo.CreateNew(&module, 0, u"2");
  EXPECT_EQ(module.ResourceCount(), 2);
  EXPECT_EQ(module.IndexOfResource(second), 1);
}

// ---- what the base classes refuse ----

TEST(ResourceModuleBase, AbstractOperationsRaiseAbstractError) {
  TResourceModule base;
  for (Thrown t : {Capture([&] { base.ResourceCount(); }), Capture([&] { base.ResourceDetails(0); }),
                   Capture([&] { base.IndexOfResource(nullptr); }), Capture([&] { base.FindResource(u"1", u"1", 0); }),
                   Capture([&] { base.GetUniqueResourceName(u"1"); })}) {
    EXPECT_EQ(t.className, "EAbstractError");
    EXPECT_EQ(t.message, "Abstract Error");
  }
}

TEST(ResourceModuleBase, ThePlainListDoesNotStream) {
  TResourceList list;
  TMemoryStream stream;
  Thrown t = Capture([&] { list.SaveToStream(stream); });
  EXPECT_EQ(t.className, "Exception");
  EXPECT_EQ(t.message, "Module doesn't support streaming");
  t = Capture([&] { list.LoadFromStream(stream); });
  EXPECT_EQ(t.className, "Exception");
  EXPECT_EQ(t.message, "Module doesn't support streaming");
  EXPECT_EQ(stream.Size(), 0);
}

TEST(ResourceModuleBase, SavingAPlainListToAFileLeavesNoFileBehind) {
  ScratchDir dir;
  TResourceList list;
  AddTo(list, u"10", u"1");
  Thrown t = Capture([&] { list.SaveToFile(dir.file16("list.res")); });
  EXPECT_EQ(t.message, "Module doesn't support streaming");
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

// ---- Assign ----

TEST(ResourceListAssign, CopiesIdentityAndBytesOnlyInOrder) {
  TResModule source;
  // A base-class resource holding text: the copy's class is chosen from the bytes.
  auto made =
      TResourceDetails::ClassInfo.Create(&source, 1031, u"B", u"10", 4, reinterpret_cast<const uint8_t*>("text"));
  TResourceDetails* b = made.get();
  source.AddResource(std::move(made));
  b->SetMemoryFlags(0x1030);
  b->SetDataVersion(7);
  b->SetVersion(8);
  b->SetCharacteristics(9);
  b->SetTag(5);
  b->SetDirty(true);
  AddTo(source, u"3", u"1", 1033, {0x28, 0, 0, 0});
  AddTo(source, u"10", u"A", 0, {});

  auto leftover = Read<TResModule>(kTwoResources);
  TResModule& copy = *leftover;
  ASSERT_EQ(copy.ResourceCount(), 2);
  copy.Assign(source);

  ASSERT_EQ(copy.ResourceCount(), 3);  // the old content is gone, the order kept, nothing sorted
  TResourceDetails* c0 = copy.ResourceDetails(0);
  EXPECT_EQ(c0->ResourceType(), u"10");
  EXPECT_EQ(c0->ResourceName(), u"B");
  EXPECT_EQ(c0->ResourceLanguage(), 1031u);
  EXPECT_EQ(c0->RawData().Bytes(), BytesOf("text"));
  EXPECT_EQ(c0->ClassType(), &TAnsiResourceDetails::ClassInfo);  // chosen anew from the bytes
  EXPECT_EQ(c0->MemoryFlags(), 0);
  EXPECT_EQ(c0->DataVersion(), 0u);
  EXPECT_EQ(c0->Version(), 0u);
  EXPECT_EQ(c0->Characteristics(), 0u);
  EXPECT_EQ(c0->Tag(), 0);
  EXPECT_FALSE(c0->Dirty());
  EXPECT_EQ(c0->Parent(), &copy);
  EXPECT_NE(c0, b);

  EXPECT_EQ(copy.ResourceDetails(1)->ResourceType(), u"3");
  EXPECT_EQ(copy.ResourceDetails(1)->ClassType(), &TResourceDetails::ClassInfo);
  EXPECT_EQ(copy.ResourceDetails(2)->ResourceName(), u"A");
  EXPECT_EQ(copy.ResourceDetails(2)->RawData().Size(), 0);
  EXPECT_EQ(copy.ResourceDetails(2)->ClassType(), &TResourceDetails::ClassInfo);
}

TEST(ResourceListAssign, CopiesOutliveTheSource) {
  TResModule copy;
  {
    TResModule source;
    AddTo(source, u"10", u"1", 0, BytesOf("survives"));
    copy.Assign(source);
  }
  ASSERT_EQ(copy.ResourceCount(), 1);
  EXPECT_EQ(copy.ResourceDetails(0)->RawData().Bytes(), BytesOf("survives"));
}

TEST(ResourceListAssign, LeavesTheSixteenBitStateAlone) {
  TResModule source;
  AddTo(source, u"10", u"1");

  TResModule fromEmptyFile;
  fromEmptyFile.LoadFromBytes(ByteView());
  ASSERT_TRUE(fromEmptyFile.Is16Bit());
  fromEmptyFile.Assign(source);
  EXPECT_TRUE(fromEmptyFile.Is16Bit());

  TResModule fresh;
  fresh.Assign(source);
  EXPECT_FALSE(fresh.Is16Bit());
}

TEST(ResourceListAssign, AssigningAModuleToItselfKeepsItsContent) {
  TResModule module;
  AddTo(module, u"10", u"1", 0, BytesOf("one"));
  AddTo(module, u"10", u"2", 0, BytesOf("two"));
  module.Assign(module);
  ASSERT_EQ(module.ResourceCount(), 2);
  EXPECT_EQ(module.ResourceDetails(0)->RawData().Bytes(), BytesOf("one"));
  EXPECT_EQ(module.ResourceDetails(1)->RawData().Bytes(), BytesOf("two"));
}

}  // namespace
}  // namespace tolvane::test
