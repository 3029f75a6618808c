// The container of resources: lookup, unique names, dirty state, deletion,
// copying between modules, and what the abstract base refuses.
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

// ---- FindResource ----

TEST(ResourceModuleFind, ExactLanguageFirstThenNeutralWhateverTheOrder) {
  for (bool neutralFirst : {true, false}) {
    TResModule module;
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

TEST(ResourceModuleFind, NoFallbackWithoutANeutralOne) {
  TResModule module;
  AddTo(module, u"6", u"1", 1033);
  EXPECT_EQ(module.FindResource(u"6", u"1", 1031), nullptr);
}

TEST(ResourceModuleFind, NamesAndTypesAreCaseSensitive) {
  TResModule module;
  TResourceDetails* d = AddTo(module, u"MyType", u"Hello", 1033);
  EXPECT_EQ(module.FindResource(u"MyType", u"Hello", 1033), d);
  EXPECT_EQ(module.FindResource(u"MyType", u"HELLO", 1033), nullptr);
  EXPECT_EQ(module.FindResource(u"MYTYPE", u"Hello", 1033), nullptr);
}

// ---- GetUniqueResourceName ----

TEST(ResourceModuleUniqueName, OneAboveTheHighestNumberOfThatType) {
  TResModule module;
  AddTo(module, u"10", u"1");
  AddTo(module, u"10", u"7");
  AddTo(module, u"10", u"CONFIG");
  AddTo(module, u"6", u"300");  // another type's numbers do not count
  EXPECT_EQ(module.GetUniqueResourceName(u"10"), u"8");
  EXPECT_EQ(module.GetUniqueResourceName(u"6"), u"301");
  EXPECT_EQ(module.GetUniqueResourceName(u"16"), u"1");
  EXPECT_EQ(module.GetUniqueResourceName(u"MYTYPE"), u"1");
}

TEST(ResourceModuleUniqueName, GapsAreNotFilled) {
  TResModule module;
  AddTo(module, u"3", u"5");
  AddTo(module, u"3", u"1");
  EXPECT_EQ(module.GetUniqueResourceName(u"3"), u"6");
}

TEST(ResourceModuleUniqueName, OnlyNamesGiveOne) {
  TResModule module;
  AddTo(module, u"3", u"ALPHA");
  AddTo(module, u"3", u"12a");
  EXPECT_EQ(module.GetUniqueResourceName(u"3"), u"1");
}

TEST(ResourceModuleUniqueName, AnOverlongDigitNamePassesTheConversionErrorOn) {
  TResModule module;
  AddTo(module, u"3", u"99999999999");
  AddTo(module, u"3", u"4");
  Thrown t = Capture([&] { module.GetUniqueResourceName(u"3"); });
  EXPECT_EQ(t.className, "EConvertError");
  EXPECT_EQ(t.message, "'99999999999' is not a valid integer value");
  EXPECT_EQ(module.GetUniqueResourceName(u"4"), u"1");
}

// ---- dirty state ----

std::vector<uint8_t> TwoRecordFile() {
  ResRecord a;
  a.type = ResId::Ord(10);
  a.name = ResId::Ord(1);
  a.data = BytesOf("first");
  ResRecord b;
  b.type = ResId::Ord(10);
  b.name = ResId::Ord(2);
  b.data = BytesOf("second");
  return ResBuilder().EmptyRecord().Add(a).Add(b).Bytes();
}

TEST(ResourceModuleDirty, FalseAfterLoadTrueAfterDelete) {
  TResModule module;
  std::vector<uint8_t> file = TwoRecordFile();
  module.LoadFromBytes(ByteView(file.data(), file.size()));
  EXPECT_FALSE(module.Dirty());
  module.DeleteResource(0);
  EXPECT_TRUE(module.Dirty());
  EXPECT_EQ(module.ResourceCount(), 1);
  EXPECT_EQ(module.ResourceDetails(0)->ResourceName(), u"2");
}

TEST(ResourceModuleDirty, FalseAfterASuccessfulSave) {
  ScratchDir dir;
  TResModule module;
  std::vector<uint8_t> file = TwoRecordFile();
  module.LoadFromBytes(ByteView(file.data(), file.size()));
  module.DeleteResource(1);
  module.ResourceDetails(0)->SetResourceName(u"RENAMED");
  ASSERT_TRUE(module.Dirty());
  module.SaveToFile(dir.file16("out.res"));
  EXPECT_FALSE(module.Dirty());
  EXPECT_FALSE(module.ResourceDetails(0)->Dirty());
}

TEST(ResourceModuleDirty, ADirtyResourceMakesTheModuleDirty) {
  TResModule module;
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

TEST(ResourceModuleDelete, DeleteWarnsFreesAndMarksDirty) {
  TResModule module;
  bool destroyed = false, warned = false;
  module.AddResource(std::make_unique<TWatchedDetails>(destroyed, warned));
  AddTo(module, u"10", u"2");
  module.DeleteResource(0);
  EXPECT_TRUE(warned);
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(module.Dirty());
  EXPECT_EQ(module.ResourceCount(), 1);
}

TEST(ResourceModuleDelete, DestroyingTheModuleFreesItsResources) {
  bool destroyed = false, warned = false;
  {
    TResModule module;
    module.AddResource(std::make_unique<TWatchedDetails>(destroyed, warned));
  }
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(warned);
}

TEST(ResourceModuleDelete, AnIndexOutsideTheListIsAListError) {
  TResModule module;
  AddTo(module, u"10", u"1");
  Thrown t = Capture([&] { module.DeleteResource(1); });
  EXPECT_EQ(t.className, "EListError");
  EXPECT_EQ(t.message, "List index out of bounds (1)");
  t = Capture([&] { module.ResourceDetails(-1); });
  EXPECT_EQ(t.className, "EListError");
  EXPECT_EQ(module.ResourceCount(), 1);
  EXPECT_FALSE(module.Dirty());
}

TEST(ResourceModuleMembers, IndexOfAForeignObjectIsMinusOne) {
  TResModule a, b;
  TResourceDetails* mine = AddTo(a, u"10", u"1");
  TResourceDetails* theirs = AddTo(b, u"10", u"1");
  EXPECT_EQ(a.IndexOfResource(mine), 0);
  EXPECT_EQ(a.IndexOfResource(theirs), -1);
  EXPECT_EQ(a.IndexOfResource(nullptr), -1);
  auto loose = TResourceDetails::ClassInfo.CreateNewDetached(0, u"1");
  EXPECT_EQ(a.IndexOfResource(loose.get()), -1);
}

TEST(ResourceModuleMembers, InsertPlacesAtTheIndex) {
  TResModule module;
  AddTo(module, u"10", u"1");
  AddTo(module, u"10", u"3");
  auto d = TResourceDetails::ClassInfo.CreateNewDetached(0, u"2");
  TResourceDetails* raw = d.get();
  module.InsertResource(1, std::move(d));
  EXPECT_EQ(module.IndexOfResource(raw), 1);
  module.InsertResource(3, TResourceDetails::ClassInfo.CreateNewDetached(0, u"4"));
  EXPECT_EQ(module.ResourceDetails(3)->ResourceName(), u"4");
  EXPECT_EQ(Capture([&] { module.InsertResource(5, TResourceDetails::ClassInfo.CreateNewDetached(0, u"9")); })
                .className,
            "EListError");
}

// ---- what the base classes refuse ----

TEST(ResourceModuleBase, AbstractOperationsRaiseAbstractError) {
  TResourceModule base;
  for (Thrown t : {Capture([&] { base.ResourceCount(); }), Capture([&] { base.ResourceDetails(0); }),
                         Capture([&] { base.IndexOfResource(nullptr); }),
                         Capture([&] { base.FindResource(u"1", u"1", 0); }),
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
  auto made = TResourceDetails::ClassInfo.Create(&source, 1031, u"B", u"10", 4,
                                                 reinterpret_cast<const uint8_t*>("text"));
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

  TResModule copy;
  std::vector<uint8_t> leftover = TwoRecordFile();
  copy.LoadFromBytes(ByteView(leftover.data(), leftover.size()));
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
