// object_namespace.h
//
// The part of NT's object namespace that a file path crosses before it
// reaches a volume: "\??\" (or its aliases "\DosDevices\" and "\GLOBAL??\"),
// then a drive-letter link such as "c:", then the path on the volume.

#pragma once

#include <string>
#include <variant>
#include <vector>

#include "testbed/nt_status.h"

namespace quarnhold::testbed {

// A path that resolved to a volume: the drive letter (upper case) and the
// components below the volume's root; empty components for the root itself.
struct VolumePath {
    char16_t driveLetter = u'C';
    std::vector<std::u16string> components;
};

// Resolves an absolute object name. `linkedDrives` lists the upper-case
// letters whose link exists. The failure statuses are the object manager's:
// OBJECT_PATH_SYNTAX_BAD for a relative name, OBJECT_PATH_NOT_FOUND for a
// missing directory or link on the way, OBJECT_NAME_NOT_FOUND when the last
// component is missing there, OBJECT_NAME_INVALID for a name no volume
// accepts (an empty component, ".", "..", a reserved character).
std::variant<VolumePath, NtStatus> ResolveObjectName(std::u16string_view name, std::u16string_view linkedDrives);

}  // namespace quarnhold::testbed
