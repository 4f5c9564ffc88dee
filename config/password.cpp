// Password protection. (Placeholder until the cipher is built.)
#include "config/password.h"

bool store_password(const std::string& password, std::string* stored) {
  *stored = password;
  return true;
}
std::string recover_password(const std::string& stored) { return stored; }
