#pragma once
#include <cstddef>
#include <vector>

namespace pellan {

/// The same TXT record with its strings in the opposite order. Avahi hands a resolved TXT
/// record over with its strings in the reverse of their order on the wire; reversing again
/// restores the wire order, on which "the first dnt_name wins" and "a repeated key: the
/// later string wins" depend. Zero-length strings are strings like any other here. A record
/// whose length bytes do not add up to its size is returned unchanged (its string bounds are
/// unknown, so there is no order to restore).
std::vector<unsigned char> reverseTxtStrings(const unsigned char* record, std::size_t length);

}  // namespace pellan
