// The installer helper's filter of the list of file operations waiting for
// the restart, on values laid out as the system writes them: pairs of
// "\??\" names, an empty destination for a deletion, "!" before a
// destination that is replaced, and an empty source to end the list.
#include "pending.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// The places Setup passes on 64-bit Windows, for a user whose name has a
// letter outside ASCII.
const std::u16string Install = u"C:\\Program Files (x86)\\Krelmo\\Lindorian";
const std::u16string Maker = u"C:\\Program Files (x86)\\Krelmo";
const std::u16string Group =
    u"C:\\Users\\Zoë\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Lindorian";
const std::u16string Module = u"C:\\Windows\\system32\\ldkeys.dll";
const std::u16string Wow64Module = u"C:\\Windows\\SysWOW64\\ldkeys.dll";
const std::u16string Serif = u"C:\\Windows\\Fonts\\ldser.ttf";
const std::u16string Fixed = u"C:\\Windows\\Fonts\\ldfix.ttf";

std::u16string Nt(const std::u16string& path) { return u"\\??\\" + path; }
std::u16string Deletion(const std::u16string& path) { return Nt(path) + u'\0' + u'\0'; }
std::u16string Move(const std::u16string& source, const std::u16string& target) {
  return Nt(source) + u'\0' + Nt(target) + u'\0';
}
std::u16string Replacement(const std::u16string& source, const std::u16string& target) {
  return Nt(source) + u'\0' + u'!' + Nt(target) + u'\0';
}
const std::u16string End = u"\0"s;

std::vector<PackagePlace> PackagePlaces() {
  const struct {
    const std::u16string& path;
    int withContents;
  } given[] = {{Install, 1}, {Group, 1},  {Maker, 0},      {Serif, 0},
               {Fixed, 0},   {Module, 0}, {Wow64Module, 0}};
  std::vector<PackagePlace> places(std::size(given));
  for (size_t i = 0; i < places.size(); ++i)
    EXPECT_EQ(MakePackagePlace(&places[i], given[i].path.c_str(), given[i].withContents), 1);
  return places;
}

struct Filtered {
  std::u16string value;
  unsigned dropped;
};

Filtered Drop(std::u16string value) {
  std::vector<PackagePlace> places = PackagePlaces();
  Filtered result;
  unsigned units =
      DropPackageDeletions(value.data(), static_cast<unsigned>(value.size()), places.data(),
                           static_cast<int>(places.size()), &result.dropped);
  result.value = value.substr(0, units);
  return result;
}

std::u16string Place(const std::u16string& fullPath, int withContents = 0) {
  PackagePlace place;
  if (!MakePackagePlace(&place, fullPath.c_str(), withContents)) return u"(refused)";
  return std::u16string(place.Path, place.Length);
}

// The list as the uninstaller leaves it when the module copies, the serif
// font and its own file are in use, after other products' entries and a
// replacement a repair of this package has waiting. The others' names stay
// unit for unit: letters outside any code page, characters beyond the BMP
// as surrogate pairs, even a lone surrogate.
TEST(PendingList, TakesOutTheDeletionsOfPackagePlacesOnly) {
  const std::u16string otherDeletion = Deletion(u"C:\\Données\\日本語\\\U0001D11E.txt");
  const std::u16string otherMove = Move(u"C:\\Temp\\\xD800x", u"C:\\Windows\\system32\\x.sys");
  const std::u16string staged = Replacement(Install + u"\\ldser.ttf", Serif);
  Filtered result =
      Drop(otherDeletion + Deletion(Module) + staged + Deletion(Wow64Module) + Deletion(Serif) +
           otherMove + Deletion(Install + u"\\uninstall.exe") + Deletion(Install) +
           Deletion(Maker) + Deletion(Group + u"\\Uninstall.lnk") + Deletion(Group) + End);
  EXPECT_EQ(result.value, otherDeletion + staged + otherMove + End);
  EXPECT_EQ(result.dropped, 8u);
  EXPECT_FALSE(IsEmptyList(result.value.data(), static_cast<unsigned>(result.value.size())));

  // A move of a package file somewhere else is not a deletion either.
  const std::u16string renamed = Move(Module, u"C:\\Windows\\system32\\ldkeys.old");
  EXPECT_EQ(Drop(renamed + End).value, renamed + End);
}

// Names are compared as wholes, on separators; ASCII letters in any case,
// any other letter exactly as Setup gives it.
TEST(PendingList, ComparesWholeNamesOnSeparators) {
  const std::u16string kept =
      Deletion(Maker + u"\\Lindorian2\\a.txt") + Deletion(Maker + u"\\Lindoria") +
      Deletion(Maker + u"\\Other\\b.dll") + Deletion(Serif + u".old") + Deletion(Fixed + u"\\x") +
      Deletion(
          u"C:\\Users\\ZOË\\AppData\\Roaming\\Microsoft\\Windows"
          u"\\Start Menu\\Programs\\Lindorian");
  Filtered result =
      Drop(kept + Deletion(u"c:\\PROGRAM FILES (X86)\\krelmo\\LINDORIAN\\Readme.txt") +
           Deletion(Maker + u"\\") + Deletion(Install + u"\\\\sub\\x.png") +
           Deletion(u"C:\\users\\zoë\\appdata\\roaming\\microsoft\\windows\\start menu\\"
                    u"programs\\lindorian\\Keyboard chart.lnk") +
           End);
  EXPECT_EQ(result.value, kept + End);
  EXPECT_EQ(result.dropped, 4u);
}

TEST(PendingList, IsEmptyOnceNothingButPackageDeletionsWasThere) {
  Filtered result = Drop(Deletion(Module) + Deletion(Install + u"\\uninstall.exe") +
                         Deletion(Install) + Deletion(Maker) + End);
  EXPECT_EQ(result.value, End);
  EXPECT_EQ(result.dropped, 4u);
  EXPECT_TRUE(IsEmptyList(result.value.data(), static_cast<unsigned>(result.value.size())));
  // Without the end of the list, too.
  result = Drop(Deletion(Serif));
  EXPECT_EQ(result.value, u"");
  EXPECT_TRUE(IsEmptyList(result.value.data(), 0));
}

// What the system would not read as a pair stays as it is: everything after
// an empty source, and a pair the value cuts short.
TEST(PendingList, LeavesWhatIsNotAPairAsItIs) {
  Filtered result = Drop(Deletion(Install) + End + Deletion(Module) + End);
  EXPECT_EQ(result.value, End + Deletion(Module) + End);
  EXPECT_EQ(result.dropped, 1u);
  EXPECT_FALSE(IsEmptyList(result.value.data(), static_cast<unsigned>(result.value.size())));

  for (const std::u16string& cut : {Nt(Module), Nt(Module) + u'\0', Nt(Module) + u"\0\\??"s}) {
    result = Drop(Deletion(Serif) + cut);
    EXPECT_EQ(result.value, cut);
    EXPECT_EQ(result.dropped, 1u);
  }
}

bool Waits(const std::u16string& value) {
  std::vector<PackagePlace> places = PackagePlaces();
  return WaitsForPlace(value.data(), static_cast<unsigned>(value.size()), places.data(),
                       static_cast<int>(places.size())) == 1;
}

// The removal's exit code asks for a restart exactly when something of the
// package's waits for it: as source or destination, replaced or not, but
// not in what the system would not read as a pair.
TEST(PendingList, WaitsForAPackagePlaceInAnyPairThatNamesIt) {
  const std::u16string others = Deletion(Maker + u"\\Lindorian2\\a.txt") +
                                Move(u"C:\\Temp\\x", u"C:\\Windows\\Fonts\\ldser.ttf.old");
  EXPECT_FALSE(Waits(others + End));
  EXPECT_FALSE(Waits(u""));
  for (const std::u16string& pair :
       {Deletion(Install + u"\\uninstall.exe"), Deletion(Maker), Move(Module, u"C:\\x"),
        Move(u"C:\\x", Group + u"\\Uninstall.lnk"), Replacement(u"C:\\new.ttf", Fixed)})
    EXPECT_TRUE(Waits(others + pair + End)) << std::string(pair.begin(), pair.end());
  EXPECT_FALSE(Waits(others + End + Deletion(Serif) + End));
  EXPECT_FALSE(Waits(others + Nt(Serif)));
}

TEST(PackagePlaceName, IsTheNameTheSystemRecords) {
  EXPECT_EQ(Place(Install), Nt(Install));
  EXPECT_EQ(Place(Install + u"\\\\"), Nt(Install));
  EXPECT_EQ(Place(u"\\\\server\\share\\Programs\\Lindorian"),
            u"\\??\\UNC\\server\\share\\Programs\\Lindorian");
  EXPECT_EQ(Place(u"C:\\" + std::u16string(PlaceCapacity - 8, u'x')).size(), PlaceCapacity - 1);
}

// A drive or share root with its contents would be everything on it.
TEST(PackagePlaceName, IsRefusedForWhatCannotBeAPackagePlace) {
  for (const std::u16string& path :
       {u"C:\\"s, u"C:\\\\"s, u"C:"s, u"Lindorian"s, u"\\Lindorian"s, u"\\\\server\\share"s,
        u"\\\\server\\share\\"s, u"\\\\server\\\\x"s, u"\\\\?\\C:\\Lindorian"s, u"\\\\.\\pipe\\x"s,
        u"C:\\Krelmo\\*"s, u"C:\\Fonts\\ld?er.ttf"s, u"C:\\Krelmo:stream"s, u"C:\\a|b"s,
        u"C:\\a\x01"s, u"C:\\" + std::u16string(PlaceCapacity - 7, u'x')})
    EXPECT_EQ(Place(path, 1), u"(refused)") << path.size();
}

}  // namespace
