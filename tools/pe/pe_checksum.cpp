// The image checksum the loader verifies for drivers and system DLLs.
#include "pe/pe_image.h"

namespace pe {

uint32_t ComputeChecksum(std::span<const uint8_t> file, uint32_t checksum_offset) {
  // The checksum field itself counts as zero; an odd last byte is padded.
  auto byte_at = [&](size_t k) -> uint32_t {
    if (k >= file.size() || (k >= checksum_offset && k - checksum_offset < 4)) return 0;
    return file[k];
  };
  uint32_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    sum += byte_at(i) | byte_at(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);  // end-around carry
  }
  return sum + uint32_t(file.size());
}

Expected<uint32_t> ChecksumOffset(std::span<const uint8_t> file) {
  if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z')
    return std::unexpected("not a PE image: no MZ signature");
  const uint32_t nt = uint32_t(file[0x3C]) | uint32_t(file[0x3D]) << 8 |
                      uint32_t(file[0x3E]) << 16 | uint32_t(file[0x3F]) << 24;
  const uint64_t field =
      uint64_t(nt) + 4 + 20 + 64;  // signature, file header, into optional header
  if (field + 4 > file.size())
    return std::unexpected("not a PE image: headers run past the end of the file");
  if (file[nt] != 'P' || file[nt + 1] != 'E' || file[nt + 2] || file[nt + 3])
    return std::unexpected("not a PE image: no PE signature");
  return uint32_t(field);
}

Expected<uint32_t> ComputeChecksum(std::span<const uint8_t> file) {
  auto offset = ChecksumOffset(file);
  if (!offset) return offset;
  return ComputeChecksum(file, *offset);
}

}  // namespace pe
