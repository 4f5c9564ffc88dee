// MD5 and HMAC-MD5. (Placeholder until the digests are built.)
#include "codec/md5.h"

#include <cstring>

void md5_init(Md5Context* context) { std::memset(context, 0, sizeof *context); }
void md5_update(Md5Context*, const unsigned char*, std::size_t) {}
void md5_final(unsigned char digest[16], Md5Context* context) {
  std::memset(digest, 0, 16);
  std::memset(context, 0, sizeof *context);
}
void hmac_md5(const unsigned char*, std::size_t, const unsigned char*, std::size_t, unsigned char digest[16]) {
  std::memset(digest, 0, 16);
}
std::string apop_digest(const std::string&, const std::string&) { return std::string(32, '0'); }
