// The TCP side of mail delivery: host names, the connection, sending text and the reply
// readers' shared state.
#pragma once

#include <cstdint>
#include <string>

// The IPv4 address (network byte order) of a host name or dotted address; an empty text
// or a failed lookup ends the run with error 13.
uint32_t resolve_host(const std::string& host);
