// Data protection for the current user (DPAPI) and the system's cryptographic random
// source (BCryptGenRandom).
#include "platform/windows_api.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <climits>

#include "platform/platform.h"

namespace platform {

namespace {

// Ties a blob to this program's use as well as to the user: another program running as
// the user must know it to open the blob. It is part of every stored blob: never change it.
const char kEntropy[] = "VORNA user data";

DATA_BLOB blob_of(const char* data, std::size_t size) {
  DATA_BLOB blob;
  blob.cbData = static_cast<DWORD>(size);
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(data));
  return blob;
}

// Takes the system's output blob into *out and frees it.
void take(DATA_BLOB* from, std::string* out) {
  out->assign(reinterpret_cast<const char*>(from->pbData), from->cbData);
  SecureZeroMemory(from->pbData, from->cbData);
  LocalFree(from->pbData);
}

}  // namespace

bool protect_for_user(const std::string& data, std::string* blob) {
  if (data.size() > UINT_MAX / 2) return false;
  DATA_BLOB in = blob_of(data.data(), data.size());
  DATA_BLOB entropy = blob_of(kEntropy, sizeof kEntropy - 1);
  DATA_BLOB out{};
  // No description: it would be stored in clear, readable by anyone who has the file.
  if (!CryptProtectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                        &out)) {
    return false;
  }
  take(&out, blob);
  return true;
}

bool unprotect_for_user(const std::string& blob, std::string* data) {
  if (blob.empty() || blob.size() > UINT_MAX / 2) return false;
  DATA_BLOB in = blob_of(blob.data(), blob.size());
  DATA_BLOB entropy = blob_of(kEntropy, sizeof kEntropy - 1);
  DATA_BLOB out{};
  // Another user's or machine's blob, a changed byte or another entropy all fail here.
  if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out)) {
    return false;
  }
  take(&out, data);
  return true;
}

bool random_bytes(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    // The call takes a 32-bit length.
    ULONG piece = static_cast<ULONG>(std::min<std::size_t>(length, 0x40000000u));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    bytes += piece;
    length -= piece;
  }
  return true;
}

}  // namespace platform
