// User-facing texts of the HTTP client, looked up in the main bundle's "HCNetworking" string table.
#pragma once

#include <string>

// The table's text for `key`, or the key itself when the table has no (or an empty) entry.
std::string HCNetworkingLocalizedString(const std::string& key);

// As above for a format whose key is the English format. A translation whose conversions differ from the
// English ones (which would misprint or drop an argument) is ignored in favour of the English format.
std::string HCNetworkingLocalizedFormat(const std::string& englishFormat);
