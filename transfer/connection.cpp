// Host names and the connection. (Placeholder until delivery is built.)
#include "transfer/connection.h"

#include "app/errors.h"
#include "platform/platform.h"

uint32_t resolve_host(const std::string& host) {
  uint32_t address = 0;
  if (host.empty()) error_exit(kErrHostName);
  if (platform::parse_ipv4(host.c_str(), &address)) return address;
  if (!platform::lookup_host(host.c_str(), &address)) error_exit(kErrHostName);
  return address;
}
