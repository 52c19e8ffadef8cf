// A signed PE file against its unsigned twin.
#include "pe/signed_twin.h"

#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "pe/text.h"

namespace pe {
namespace {

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the data.
constexpr uint32_t kCertificateHeaderSize = 8;
constexpr uint16_t kCertificateRevision2 = 0x0200;
constexpr uint16_t kCertificatePkcsSignedData = 0x0002;
// The table and each entry in it start on an 8-byte boundary.
constexpr uint32_t kCertificateAlignment = 8;

uint16_t U16At(std::span<const uint8_t> b, uint64_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t U32At(std::span<const uint8_t> b, uint64_t at) {
  return uint32_t(U16At(b, at)) | uint32_t(U16At(b, at + 2)) << 16;
}

Expected<Headers> HeadersOf(std::span<const uint8_t> file, const std::string& which) {
  auto image = PeImage::Parse(std::vector<uint8_t>(file.begin(), file.end()));
  if (!image) return std::unexpected(which + ": " + image.error());
  return image->headers();
}

// Walks the table's entries, each padded to the alignment, to its end.
Expected<uint32_t> CountCertificates(std::span<const uint8_t> file, const DataDirectory& table) {
  const uint64_t end = uint64_t(table.rva) + table.size;
  uint32_t entries = 0;
  for (uint64_t at = table.rva; at < end; ++entries) {
    const std::string where = "certificate entry at " + Hex(at);
    if (end - at < kCertificateHeaderSize) return std::unexpected(where + " is cut short");
    const uint32_t length = U32At(file, at);
    if (length <= kCertificateHeaderSize || length > end - at)
      return std::unexpected(where + " claims " + std::to_string(length) + " bytes");
    if (U16At(file, at + 4) != kCertificateRevision2 ||
        U16At(file, at + 6) != kCertificatePkcsSignedData)
      return std::unexpected(where + " is not an Authenticode signature");
    at += (uint64_t(length) + kCertificateAlignment - 1) / kCertificateAlignment *
          kCertificateAlignment;
  }
  return entries;
}

// Where the table lies: after the unsigned bytes and their zero padding,
// and at the very end of the file.
Expected<void> CheckTablePlace(std::span<const uint8_t> unsigned_file,
                               std::span<const uint8_t> signed_file, const DataDirectory& table) {
  const std::string place =
      "the certificate table (" + std::to_string(table.size) + " bytes at " + Hex(table.rva) + ")";
  if (uint64_t(table.rva) + table.size != signed_file.size())
    return std::unexpected(place + " does not end the signed file (" +
                           std::to_string(signed_file.size()) + " bytes)");
  if (table.rva < unsigned_file.size())
    return std::unexpected(place + " overlaps the unsigned file's " +
                           std::to_string(unsigned_file.size()) + " bytes");
  if (table.rva % kCertificateAlignment ||
      table.rva - unsigned_file.size() >= kCertificateAlignment)
    return std::unexpected(place + " is not at the first 8-byte boundary after the unsigned file");
  for (uint64_t at = unsigned_file.size(); at < table.rva; ++at)
    if (signed_file[at]) return std::unexpected("padding byte at " + Hex(at) + " is not zero");
  return {};
}

// The unsigned bytes must all be there, but for the two fields signing sets.
Expected<void> CheckSameBytes(std::span<const uint8_t> unsigned_file,
                              std::span<const uint8_t> signed_file, const Headers& headers) {
  const uint64_t checksum = headers.checksum_offset;
  const uint64_t entry = uint64_t(headers.directories_offset) + 8 * kDirSecurity;
  for (uint64_t at = 0; at < unsigned_file.size(); ++at) {
    // Offsets before a field wrap around to large distances.
    if (at - checksum < 4 || at - entry < 8) continue;
    if (unsigned_file[at] != signed_file[at])
      return std::unexpected("byte at " + Hex(at) + " differs: " + Hex(unsigned_file[at], 2) +
                             " unsigned, " + Hex(signed_file[at], 2) + " signed");
  }
  return {};
}

}  // namespace

Expected<CertificateTable> CheckSignedTwin(std::span<const uint8_t> unsigned_file,
                                           std::span<const uint8_t> signed_file) {
  auto plain = HeadersOf(unsigned_file, "unsigned file");
  if (!plain) return std::unexpected(plain.error());
  auto signed_headers = HeadersOf(signed_file, "signed file");
  if (!signed_headers) return std::unexpected(signed_headers.error());
  if (plain->directories.size() <= kDirSecurity)
    return std::unexpected("the unsigned file has no security directory entry");
  const DataDirectory old_table = plain->directory(kDirSecurity);
  if (old_table.rva || old_table.size)
    return std::unexpected("the unsigned file already has a certificate table");
  const DataDirectory table = signed_headers->directory(kDirSecurity);
  if (!table.size) return std::unexpected("the signed file has no certificate table");
  if (signed_file.size() < unsigned_file.size())
    return std::unexpected("the signed file is shorter than the unsigned one");

  if (auto same = CheckSameBytes(unsigned_file, signed_file, *plain); !same)
    return std::unexpected(same.error());
  if (auto place = CheckTablePlace(unsigned_file, signed_file, table); !place)
    return std::unexpected(place.error());
  const uint32_t checksum = ComputeChecksum(signed_file, signed_headers->checksum_offset);
  if (signed_headers->checksum != checksum)
    return std::unexpected("the header checksum " + Hex(signed_headers->checksum, 8) +
                           " does not match the signed file (" + Hex(checksum, 8) + ")");
  auto entries = CountCertificates(signed_file, table);
  if (!entries) return std::unexpected(entries.error());
  return CertificateTable{table.rva, table.size, *entries};
}

}  // namespace pe
