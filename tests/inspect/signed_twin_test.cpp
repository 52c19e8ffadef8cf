// A signed image against its unsigned twin, on images built in memory and
// signed here the way Authenticode tools do it.
#include <gtest/gtest.h>

#include "image_builder.h"
#include "pe/pe_image.h"
#include "pe/signed_twin.h"
#include "pe/text.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kChecksumField = 0x40 + 24 + 64;
constexpr uint32_t kSecurityEntry = 0x40 + 24 + 96 + 8 * pe::kDirSecurity;

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> 8 * i);
}

// An image with data after its last section, as an installer carries its
// archive: 3 bytes, so that the table needs padding.
Bytes Unsigned() {
  testimage::ImageBuilder b;
  for (uint32_t i = 0; i < 64; ++i) b.U32(0x9E3779B9u * i);
  Bytes bytes = b.Build();
  bytes.insert(bytes.end(), {0xDE, 0xAD, 0x01});
  return bytes;
}

// One WIN_CERTIFICATE entry of `length` bytes, padded to 8: PKCS#7 signed
// data in the revision Authenticode uses, unless told otherwise.
Bytes Certificate(uint32_t length, uint16_t revision = 0x0200) {
  Bytes entry((length + 7) / 8 * 8, 0x30);
  Put32(entry, 0, length);
  entry[4] = uint8_t(revision);
  entry[5] = uint8_t(revision >> 8);
  entry[6] = 0x02;
  entry[7] = 0x00;
  return entry;
}

void SetChecksum(Bytes& b) { Put32(b, kChecksumField, pe::ComputeChecksum(b, kChecksumField)); }

// Pads to 8 bytes, appends the table, points the security entry at it and
// sets the checksum.
Bytes Sign(Bytes b, const Bytes& table = Certificate(1500)) {
  b.resize((b.size() + 7) / 8 * 8, 0);
  const uint32_t offset = uint32_t(b.size());
  b.insert(b.end(), table.begin(), table.end());
  Put32(b, kSecurityEntry, offset);
  Put32(b, kSecurityEntry + 4, uint32_t(b.size()) - offset);
  SetChecksum(b);
  return b;
}

std::string Error(const Bytes& plain, const Bytes& signed_file) {
  auto table = pe::CheckSignedTwin(plain, signed_file);
  return table ? "accepted" : table.error();
}

TEST(SignedTwin, AcceptsTheSignatureAppendedAfterPadding) {
  const Bytes plain = Unsigned();
  auto table = pe::CheckSignedTwin(plain, Sign(plain));
  ASSERT_TRUE(table.has_value()) << table.error();
  EXPECT_EQ(table->offset, plain.size() + 5);
  EXPECT_EQ(table->size, 1504u);
  EXPECT_EQ(table->entries, 1u);
}

TEST(SignedTwin, FindsEveryChangedByteOutsideTheTwoFields) {
  const Bytes plain = Unsigned();
  const Bytes good = Sign(plain);
  // In the code, in the overlay, and on either side of the two fields.
  for (uint32_t at :
       {uint32_t(testimage::kTextFileOffset + 7), uint32_t(plain.size() - 1), kChecksumField - 1,
        kChecksumField + 4, kSecurityEntry - 1, kSecurityEntry + 8}) {
    Bytes changed = good;
    changed[at] ^= 0x40;
    SetChecksum(changed);
    EXPECT_NE(Error(plain, changed).find("byte at " + pe::Hex(at) + " differs"), std::string::npos)
        << Error(plain, changed);
  }
  Bytes stale = good;
  stale[good.size() - 1] ^= 1;  // inside the table: the checksum no longer matches
  EXPECT_NE(Error(plain, stale).find("checksum"), std::string::npos) << Error(plain, stale);
}

TEST(SignedTwin, RejectsATableThatIsMissingMisplacedOrNotAuthenticode) {
  const Bytes plain = Unsigned();
  const Bytes good = Sign(plain);
  auto expect = [&](const Bytes& unsigned_file, const Bytes& signed_file, const std::string& what) {
    EXPECT_NE(Error(unsigned_file, signed_file).find(what), std::string::npos)
        << Error(unsigned_file, signed_file);
  };
  expect(plain, plain, "the signed file has no certificate table");
  expect(good, Sign(good), "the unsigned file already has a certificate table");

  Bytes trailing = good;
  trailing.push_back(0);
  SetChecksum(trailing);
  expect(plain, trailing, "does not end the signed file");

  // An "unsigned" file that already holds the padding and the table's first byte.
  Bytes longer = plain;
  longer.insert(longer.end(), good.begin() + long(plain.size()),
                good.begin() + long(plain.size()) + 6);
  expect(longer, good, "overlaps the unsigned file");

  Bytes dirty = good;
  dirty[plain.size() + 2] = 1;
  SetChecksum(dirty);
  expect(plain, dirty, "padding byte at " + pe::Hex(plain.size() + 2));

  Bytes far = plain;
  far.resize(far.size() + 13, 0);  // a whole 8 bytes more padding than needed
  far = Sign(far);
  expect(plain, far, "not at the first 8-byte boundary");

  expect(plain, Sign(plain, Certificate(1500, 0x0100)), "not an Authenticode signature");
  Bytes overlong = Sign(plain);
  Put32(overlong, overlong.size() - 1504, 1505);
  SetChecksum(overlong);
  expect(plain, overlong, "claims 1505 bytes");
}

}  // namespace
