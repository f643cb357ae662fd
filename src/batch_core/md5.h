#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// MD5 (RFC 1321), for the one place a file format asks for it: the GUID that ties a JPEG's
// extended XMP to its main packet. Not for anything that needs a secure hash.
namespace morvale::md5 {

std::array<std::uint8_t, 16> digest(std::string_view bytes);

// The digest as 32 upper-case hexadecimal digits.
std::string upperHex(std::string_view bytes);

}  // namespace morvale::md5
