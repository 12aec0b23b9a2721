#include "httpclient/HCNetworkingStrings.h"

#include <vector>

#include "platform/foundation/Bundle.h"

namespace {

// The conversions of a format, without flags, width or precision: "%@ (%ld)" gives {"@", "ld"}.
std::vector<std::string> conversionsOf(const std::string& format) {
    std::vector<std::string> out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        size_t j = i + 1;
        while (j < format.size() &&
               std::string_view("0123456789.-+ #'$").find(format[j]) != std::string_view::npos)
            ++j;
        std::string conversion;
        while (j < format.size() && std::string_view("hlqLzjt").find(format[j]) != std::string_view::npos)
            conversion += format[j++];
        if (j < format.size()) conversion += format[j];
        if (conversion != "%") out.push_back(conversion);
        i = j;
    }
    return out;
}

}  // namespace

std::string HCNetworkingLocalizedString(const std::string& key) {
    auto bundle = NSBundle::mainBundle();
    std::string text = bundle ? bundle->localizedStringForKey(key, "", "HCNetworking") : key;
    return text.empty() ? key : text;
}

std::string HCNetworkingLocalizedFormat(const std::string& englishFormat) {
    std::string format = HCNetworkingLocalizedString(englishFormat);
    if (format != englishFormat && conversionsOf(format) != conversionsOf(englishFormat))
        return englishFormat;
    return format;
}
