// share_access.h
//
// NT's share-access rule between the opens of one file (IoCheckShareAccess):
// only read, write and delete access count, and an open that asks for none of
// them neither conflicts with others nor constrains later opens.

#pragma once

#include <cstdint>
#include <span>

namespace quarnhold::testbed {

struct ShareState {
    uint32_t grantedAccess = 0;  // after generic rights are mapped
    uint32_t shareAccess = 0;    // FILE_SHARE_*
};

// True when an open asking for `wanted` can coexist with every open in
// `existing` (all of the same file).
bool ShareAccessAllows(std::span<const ShareState> existing, const ShareState& wanted);

// Generic rights (GENERIC_READ, ...) mapped to a file's specific rights.
uint32_t MapGenericFileAccess(uint32_t access);

}  // namespace quarnhold::testbed
