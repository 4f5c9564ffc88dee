// Password protection: passwords are stored as uppercase hex digits of their Blowfish
// ECB ciphertext under a key bound to the machine.
#pragma once

#include <cstddef>
#include <string>

// The longest password whose stored form fits the settings field (31 blocks).
constexpr std::size_t kMaxStoredPassword = 248;

// Builds the stored form of a password into *stored. False (and *stored unchanged) when
// the password is longer than kMaxStoredPassword.
bool store_password(const std::string& password, std::string* stored);
// The plain-text password of a stored form; a wrong or damaged form gives a wrong text.
std::string recover_password(const std::string& stored);
