// signcompare UNSIGNED SIGNED: checks that SIGNED is UNSIGNED with an
// Authenticode signature added and nothing else changed (see
// pe::CheckSignedTwin), and says where the certificate table is.
#include <cstdio>

#include "pe/pe_image.h"
#include "pe/signed_twin.h"
#include "pe/text.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: signcompare UNSIGNED SIGNED\n");
    return 2;
  }
  auto unsigned_file = pe::ReadFile(argv[1]);
  auto signed_file = pe::ReadFile(argv[2]);
  for (const auto* read : {&unsigned_file, &signed_file}) {
    if (!*read) {
      std::fprintf(stderr, "signcompare: %s\n", read->error().c_str());
      return 1;
    }
  }
  auto table = pe::CheckSignedTwin(*unsigned_file, *signed_file);
  if (!table) {
    std::fprintf(stderr, "signcompare: %s against %s: %s\n", argv[2], argv[1],
                 table.error().c_str());
    return 1;
  }
  std::printf("%s: %s plus a certificate table of %u bytes at %s (%u %s), checksum matches\n",
              argv[2], argv[1], table->size, pe::Hex(table->offset).c_str(), table->entries,
              table->entries == 1 ? "entry" : "entries");
  return 0;
}
