#include "account.h"

static const unsigned HeaderSize = 8;
static const unsigned SubAuthoritySize = 4;
static const unsigned char SidRevision = 1;
// SECURITY_NT_AUTHORITY {0,0,0,0,0,5} and SECURITY_LOCAL_SYSTEM_RID 18.
static const unsigned char NtAuthority[6] = {0, 0, 0, 0, 0, 5};
static const unsigned LocalSystemRid = 18;

int IsLocalSystemSid(const unsigned char* sid, unsigned size) {
  if (!sid || size < HeaderSize + SubAuthoritySize) return 0;
  if (sid[0] != SidRevision || sid[1] != 1) return 0;
  for (unsigned at = 0; at < sizeof NtAuthority; ++at)
    if (sid[2 + at] != NtAuthority[at]) return 0;
  const unsigned char* rid = sid + HeaderSize;
  unsigned value = rid[0] | rid[1] << 8 | rid[2] << 16 | static_cast<unsigned>(rid[3]) << 24;
  return value == LocalSystemRid;
}
