// Base64. (Placeholder until the codec is built.)
#include "codec/base64.h"

int base64_encode(const unsigned char*, std::size_t, char*, std::size_t, std::size_t*) { return -2; }
std::string base64_encode(const std::string&) { return std::string(); }
int base64_decode(const char*, std::size_t, unsigned char*, std::size_t*) { return -1; }
int base64_stream_file(const std::string&, std::FILE*) { return 1; }
