// The installer helper's check that Setup runs as LocalSystem, on SID
// bytes laid out as a token holds them.
#include "account.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

// The bytes of S-1-AUTHORITY-RID...: revision, count, the authority in six
// bytes (big-endian), each sub-authority in four (little-endian).
std::vector<unsigned char> Sid(unsigned char authority, std::initializer_list<unsigned> rids) {
  std::vector<unsigned char> bytes = {
      1, static_cast<unsigned char>(rids.size()), 0, 0, 0, 0, 0, authority};
  for (unsigned rid : rids)
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<unsigned char>(rid >> shift));
  return bytes;
}

int Check(const std::vector<unsigned char>& bytes) {
  return IsLocalSystemSid(bytes.data(), static_cast<unsigned>(bytes.size()));
}

TEST(LocalSystem, RecognisesSystemAndNothingElse) {
  EXPECT_EQ(Check(Sid(5, {18})), 1);
  // LocalService, NetworkService, Administrators, an administrator's own
  // account, Everyone, and the authority's other RIDs around 18.
  EXPECT_EQ(Check(Sid(5, {19})), 0);
  EXPECT_EQ(Check(Sid(5, {20})), 0);
  EXPECT_EQ(Check(Sid(5, {32, 544})), 0);
  EXPECT_EQ(Check(Sid(5, {21, 1004336348, 1177238915, 682003330, 500})), 0);
  EXPECT_EQ(Check(Sid(1, {0})), 0);
  EXPECT_EQ(Check(Sid(5, {17})), 0);
  EXPECT_EQ(Check(Sid(5, {18 + 256})), 0);
  EXPECT_EQ(Check(Sid(5, {18u << 24})), 0);
  // 18 followed by more sub-authorities is another SID.
  EXPECT_EQ(Check(Sid(5, {18, 0})), 0);
}

TEST(LocalSystem, ReadsTheWholeHeader) {
  std::vector<unsigned char> otherRevision = Sid(5, {18});
  otherRevision[0] = 2;
  EXPECT_EQ(Check(otherRevision), 0);
  // The authority's high bytes count: {1,0,0,0,0,5} is not NT authority.
  std::vector<unsigned char> otherAuthority = Sid(5, {18});
  otherAuthority[2] = 1;
  EXPECT_EQ(Check(otherAuthority), 0);
}

TEST(LocalSystem, StaysInsideTheBytesGiven) {
  std::vector<unsigned char> system = Sid(5, {18});
  EXPECT_EQ(IsLocalSystemSid(system.data(), static_cast<unsigned>(system.size()) - 1), 0);
  EXPECT_EQ(IsLocalSystemSid(system.data(), 0), 0);
  EXPECT_EQ(IsLocalSystemSid(nullptr, 12), 0);
  // A token's buffer holds more after the SID.
  system.insert(system.end(), {0xAA, 0xBB, 0xCC, 0xDD});
  EXPECT_EQ(Check(system), 1);
}

}  // namespace
