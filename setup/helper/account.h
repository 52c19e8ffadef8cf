// Which account Setup runs as, from the bytes of its token's user SID. No
// platform call here, so that the host tests run the same code.
#pragma once

// 1 when the size bytes at sid are the SID S-1-5-18, LocalSystem: the
// account deployment tools (Intune, Configuration Manager) run Setup as.
// A SID is laid out as a revision byte (1), a count of sub-authorities, a
// 6-byte identifier authority (big-endian) and the sub-authorities, 4
// bytes each (little-endian). Bytes past the SID's own length are not
// looked at; a size too short for it, or no bytes at all, is no SID.
int IsLocalSystemSid(const unsigned char* sid, unsigned size);
