// ARM64X images: one file that Windows on ARM maps into native ARM64
// processes and into emulated x64 ones. The file's headers describe the
// native view. The loader makes the other, the ARM64EC view, by applying
// the ARM64X relocations that the load configuration's dynamic relocation
// table holds: they rewrite the machine field, the export and load
// configuration directories and whatever else differs. The ARM64EC metadata,
// which the load configuration's CHPE pointer leads to, says which code
// ranges hold ARM64, ARM64EC and x64 instructions.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pe/expected.h"
#include "pe/pe_image.h"

namespace pe {

enum class CodeKind : uint8_t { kArm64 = 0, kArm64ec = 1, kAmd64 = 2 };
// "ARM64", "ARM64EC", "x64".
const char* CodeKindName(CodeKind kind);

struct CodeRange {
  uint32_t begin = 0, end = 0;  // RVAs, end exclusive
  CodeKind kind = CodeKind::kArm64;
  bool Contains(uint32_t rva) const { return rva >= begin && rva < end; }
};

// One ARM64X relocation: `size` bytes at `rva` become zero, become the low
// bytes of `value`, or (kDelta, always 8 bytes) have `delta` added.
struct Arm64xFixup {
  enum class Kind : uint8_t { kZero, kValue, kDelta };
  uint32_t rva = 0;
  Kind kind = Kind::kZero;
  uint8_t size = 0;
  uint64_t value = 0;
  int64_t delta = 0;
};

// The RVA of the CHPE metadata the load configuration points to, or
// nullopt when it points to none (every image but an ARM64EC or ARM64X one).
Expected<std::optional<uint32_t>> HybridMetadataRva(const PeImage& image);
// An ARM64 image with ARM64EC metadata.
bool IsArm64x(const PeImage& image);
// The metadata's code map, in its order.
Expected<std::vector<CodeRange>> HybridCodeMap(const PeImage& image);
// The ARM64X relocations of the dynamic relocation table, in its order;
// none when the image has no such table.
Expected<std::vector<Arm64xFixup>> Arm64xFixups(const PeImage& image);
// The ARM64EC view of an ARM64X image: its file with the ARM64X relocations
// applied. A relocation of bytes the file does not store is an error.
Expected<PeImage> Arm64ecView(const PeImage& image);

// The image as the loader maps it at `base`: SizeOfImage bytes, the headers
// and each section at its RVA, every base relocation applied.
Expected<std::vector<uint8_t>> MapImage(const PeImage& image, uint64_t base);

}  // namespace pe
