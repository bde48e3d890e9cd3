// Base64 (RFC 2045 alphabet, "=" padding) for AUTH LOGIN. Neither function
// fails: malformed text still decodes to some bytes.
#pragma once

#include <string>

// 4 characters per 3 bytes (a partial last group padded with "="), no line
// breaks; "" for "".
std::string Base64Encode(const std::string& bytes);

// Decodes whole groups of 4 characters, each by itself; characters left over
// after the last whole group are ignored ("" for texts shorter than 4). A
// group whose third character is "=" yields 1 byte, one whose fourth is "="
// yields 2, any other 3. Characters outside the alphabet are not rejected:
// they enter the arithmetic as the value 64 (code 0 as 61), so that group
// decodes to bytes of no use.
std::string Base64Decode(const std::string& text);
