// Base64 (RFC 2045): the buffer encoder and decoder used by SMTP authentication, its URL-safe
// form for OAuth 2.0, and the streamer that writes an attachment's Base64 part body into
// its work file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Encodes one group of count (1, 2 or 3) bytes into four characters, "=" standing for the
// absent bytes. The result lives in one static area that the next call overwrites.
const char* base64_encode_group(int count, const unsigned char* group);

// Encodes n bytes into dest (capacity bytes). Stores the needed length 4*floor((n+2)/3) in
// *needed when given, before the capacity test. Returns 0, or -2 when the capacity is too
// small (dest untouched). A NUL follows the text only when it is shorter than capacity.
int base64_encode(const unsigned char* source, std::size_t n, char* dest, std::size_t capacity,
                  std::size_t* needed);
// The same encoding into a string.
std::string base64_encode(const std::string& bytes);
// The URL- and file-name-safe alphabet ("-" and "_" for "+" and "/") without "=" padding
// (RFC 4648 section 5), as PKCE sends its challenge (RFC 7636 appendix A).
std::string base64url_encode(const std::string& bytes);

// Decodes length characters of text into dest, which must hold 3*floor(length/4)+1 bytes.
// Returns 0 with the bytes, a NUL after them and their count in *count, or -1 for a
// missing dest, a text that begins with CR, or an invalid character in a group.
int base64_decode(const char* text, std::size_t length, unsigned char* dest, std::size_t* count);

// Writes "Content-Transfer-Encoding: base64\r\n\r\n" and the attachment's bytes as Base64
// lines of 76 characters with CR LF, then one more CR LF, into the open work file. The
// path is used as given (the caller expands it). Returns 0, or 1 when the attachment cannot be
// opened (nothing written then). Writing stops at the first failed write; the failure is
// left on the work file's error indicator (flushed, so a full disk shows at once).
int base64_stream_file(const std::string& path, std::FILE* work_file);
