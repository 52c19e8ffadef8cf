// pechecksum FILE: computes the PE checksum of FILE and writes it into the
// optional header's CheckSum field, in place.
#include <cstdio>
#include <fstream>

#include "pe/pe_image.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pechecksum FILE\n");
    return 2;
  }
  const std::string path = argv[1];
  auto bytes = pe::ReadFile(path);
  if (!bytes) {
    std::fprintf(stderr, "pechecksum: %s\n", bytes.error().c_str());
    return 1;
  }
  auto offset = pe::ChecksumOffset(*bytes);
  if (!offset) {
    std::fprintf(stderr, "pechecksum: %s: %s\n", path.c_str(), offset.error().c_str());
    return 1;
  }
  const uint32_t sum = pe::ComputeChecksum(*bytes, *offset);
  const char field[4] = {char(sum), char(sum >> 8), char(sum >> 16), char(sum >> 24)};
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(*offset);
  file.write(field, sizeof field);
  file.flush();
  if (!file) {
    std::fprintf(stderr, "pechecksum: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}
