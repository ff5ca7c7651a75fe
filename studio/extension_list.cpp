#include "studio/extension_list.h"

#include <algorithm>

#include "foundation/ascii_text.h"

namespace {

// Bytes of multi-byte characters count as letters, so extensions in other scripts survive.
bool IsNameCharacter(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte >= 0x80;
}

}  // namespace

std::vector<std::string> ParseExtensionList(std::string_view text)
{
    std::vector<std::string> extensions;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && !IsNameCharacter(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && IsNameCharacter(text[i]))
            ++i;
        if (i > start)
            extensions.push_back("." + std::string(text.substr(start, i - start)));
    }
    return extensions;
}

bool MatchesExtension(const std::vector<std::string>& extensions, std::string_view fileName)
{
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    const std::string_view extension = fileName.substr(dot);
    return std::any_of(extensions.begin(), extensions.end(),
                       [extension](const std::string& entry) { return EqualsNoCase(entry, extension); });
}

std::string FormatExtensionList(const std::vector<std::string>& extensions)
{
    std::string text;
    for (const std::string& extension : extensions)
        text += extension + "; ";
    return text;
}
