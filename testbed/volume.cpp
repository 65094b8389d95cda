// volume.cpp

#include "testbed/volume.h"

#include <locale.h>

#include <algorithm>
#include <cwctype>

#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

// NT upcases names one UTF-16 unit at a time through its upcase table; the
// C.UTF-8 locale's towupper is the same simple mapping. Without that locale,
// ASCII only.
char16_t Upcase(char16_t unit)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        return unit;
    }
    if (utf8 != static_cast<locale_t>(0)) {
        wint_t upper = towupper_l(static_cast<wint_t>(unit), utf8);
        return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
    }
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

}  // namespace

bool NamesMatch(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return Upcase(x) == Upcase(y); });
}

std::string JoinVolumePath(const std::string& parent, const std::string& name)
{
    return parent.empty() ? name : parent + "\\" + name;
}

const char* VolumeNode::Name() const
{
    const size_t separator = volumePath.rfind('\\');
    return volumePath.c_str() + (separator == std::string::npos ? 0 : separator + 1);
}

std::optional<VolumeNode> Volume::FindChild(const VolumeNode& directory, std::u16string_view name, bool caseInsensitive,
                                            bool directoryWanted) const
{
    std::optional<std::string> exact = Utf16ToUtf8(name);
    if (!exact) {
        return std::nullopt;
    }
    if (std::optional<VolumeNode> found = Child(directory, *exact, directoryWanted)) {
        return found;
    }
    if (!caseInsensitive) {
        return std::nullopt;
    }
    std::optional<std::string> first;
    VisitNames(directory, [&](const char* onDisk) {
        if (first && *first <= onDisk) return;
        std::optional<std::u16string> wide = Utf8ToUtf16(onDisk);
        if (wide && NamesMatch(*wide, name)) first = onDisk;
    });
    return first ? Child(directory, *first, directoryWanted) : std::nullopt;
}

// Find
//
// Walks the components from the root, each in the directory found before
// it; runs for every name a create or open is given.
VolumeLookup Volume::Find(const std::vector<std::u16string>& components, bool caseInsensitive) const
{
    VolumeLookup lookup;
    const VolumeNode root = Root();
    if (components.empty()) {
        lookup.node = root;
        return lookup;
    }
    std::optional<VolumeNode> walked;  // the directory reached below the root, if any
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        std::optional<VolumeNode> next = FindChild(walked ? *walked : root, components[i], caseInsensitive, true);
        if (next && next->kind == NodeKind::Other) {
            lookup.status = status::IoReparseTagNotHandled;
            return lookup;
        }
        if (!next || next->kind != NodeKind::Directory) {
            lookup.status = status::ObjectPathNotFound;
            return lookup;
        }
        walked = std::move(next);
    }
    lookup.node = FindChild(walked ? *walked : root, components.back(), caseInsensitive, false);
    lookup.parent = walked ? std::move(walked) : std::optional<VolumeNode>(root);
    return lookup;
}

}  // namespace quarnhold::testbed
