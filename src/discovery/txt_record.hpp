#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace pellan {

/// The strings of a DNS-SD TXT record (length-prefixed strings), in order. Reading stops at
/// the end of the record, at a zero-length string, or at a string whose length byte points
/// past the end. The bytes come from the network: any content is accepted, none is trusted.
std::vector<std::string> parseTxtStrings(const unsigned char* record, std::size_t length);

/// Keys and values of TXT strings: each splits at its first "=" (the value may hold more "="),
/// a string without "=" is a key with an empty value, and of a repeated key the later string
/// wins. Keys and values are compared case-sensitively.
std::map<std::string, std::string> txtKeyValues(const std::vector<std::string>& strings);

}  // namespace pellan
