// object_namespace.cpp

#include "testbed/object_namespace.h"

namespace quarnhold::testbed {
namespace {

char16_t AsciiUpper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) {
            return false;
        }
    }
    return true;
}

std::vector<std::u16string_view> Split(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        parts.push_back(path.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// A file name a volume accepts: not empty, not "." or "..", and free of the
// characters Win32 and NTFS reserve. ".." matters beyond fidelity: the model
// must never leave the folder that stands in for the volume.
bool IsValidFileName(std::u16string_view name)
{
    if (name.empty() || name == u"." || name == u"..") {
        return false;
    }
    for (char16_t c : name) {
        if (c < 0x20 || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' ||
            c == u'>' || c == u'|') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::variant<VolumePath, NtStatus> ResolveObjectName(std::u16string_view name, std::u16string_view linkedDrives)
{
    if (name.empty() || name.front() != u'\\') {
        return status::ObjectPathSyntaxBad;
    }
    std::vector<std::u16string_view> parts = Split(name.substr(1));

    // The directory that holds the drive links.
    if (!(EqualsIgnoringAsciiCase(parts[0], u"??") || EqualsIgnoringAsciiCase(parts[0], u"DosDevices") ||
          EqualsIgnoringAsciiCase(parts[0], u"GLOBAL??"))) {
        return parts.size() == 1 ? status::ObjectNameNotFound : status::ObjectPathNotFound;
    }
    if (parts.size() == 1) {
        return status::ObjectNameInvalid;  // the directory itself is not a file
    }

    // The drive link.
    std::u16string_view link = parts[1];
    bool isDriveLink = link.size() == 2 && link[1] == u':' && AsciiUpper(link[0]) >= u'A' && AsciiUpper(link[0]) <= u'Z';
    char16_t letter = isDriveLink ? AsciiUpper(link[0]) : u'\0';
    if (!isDriveLink || linkedDrives.find(letter) == std::u16string_view::npos) {
        return parts.size() == 2 ? status::ObjectNameNotFound : status::ObjectPathNotFound;
    }

    VolumePath resolved;
    resolved.driveLetter = letter;
    if (parts.size() == 2) {
        return status::ObjectNameInvalid;  // the volume device, not a file on it
    }
    // "\??\c:\" names the root directory.
    if (parts.size() == 3 && parts[2].empty()) {
        return resolved;
    }
    for (size_t i = 2; i < parts.size(); ++i) {
        if (!IsValidFileName(parts[i])) {
            return status::ObjectNameInvalid;
        }
        resolved.components.emplace_back(parts[i]);
    }
    return resolved;
}

}  // namespace quarnhold::testbed
