// Compares an Authenticode-signed PE file with the unsigned file it was made
// from, to show that signing added the signature and changed nothing else.
#pragma once

#include <cstdint>
#include <span>

#include "pe/expected.h"

namespace pe {

// The certificate table signing appended: its file offset and size (the
// security directory entry holds a file offset, not an RVA), and the
// number of WIN_CERTIFICATE entries in it.
struct CertificateTable {
  uint32_t offset = 0;
  uint32_t size = 0;
  uint32_t entries = 0;
};

// Checks that signed_file is unsigned_file plus a certificate table and
// nothing else: the unsigned file has no table; the signed one holds every
// byte of it but the header checksum and the security directory entry;
// after that come fewer than 8 zero bytes of padding and the table, which
// ends the file and holds only Authenticode entries; and the header
// checksum matches the signed file. The error says what differs, and where.
Expected<CertificateTable> CheckSignedTwin(std::span<const uint8_t> unsigned_file,
                                           std::span<const uint8_t> signed_file);

}  // namespace pe
