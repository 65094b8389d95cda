// held_state_record.h
//
// The held state a boot's drive C asks for, as the real-kernel check writes
// it and the stager driver reads it: one sector of the first hard disk,
// sector 1, between the master boot record and the FAT partition at 1 MiB,
// where no file system looks and no comparison of drive C sees it. Both
// sides read this one layout, so they cannot drift apart.
//
// Layout, little-endian: the magic (8 bytes), the number of opens (4), 4
// unused, then each open in OpenBytes: DesiredAccess, ShareAccess,
// CreateOptions and Actions (4 each), the lock's offset and length (8
// each), the name's length in bytes (4) and the name, UTF-16, not
// terminated.

#pragma once

#include <stdint.h>

namespace HeldStateRecord {

constexpr uint32_t Sector = 1;
constexpr uint32_t Bytes = 512;

constexpr char Magic[8] = {'Q', 'H', 'S', 'T', 'A', 'G', 'E', '1'};
constexpr uint32_t CountAt = 8;
constexpr uint32_t FirstOpenAt = 16;
constexpr uint32_t OpenBytes = 160;
constexpr uint32_t MaximumOpens = (Bytes - FirstOpenAt) / OpenBytes;

// Offsets within one open.
constexpr uint32_t DesiredAccessAt = 0;
constexpr uint32_t ShareAccessAt = 4;
constexpr uint32_t CreateOptionsAt = 8;
constexpr uint32_t ActionsAt = 12;
constexpr uint32_t LockOffsetAt = 16;
constexpr uint32_t LockLengthAt = 24;
constexpr uint32_t NameBytesAt = 32;
constexpr uint32_t NameAt = 36;
constexpr uint32_t MaximumNameBytes = OpenBytes - NameAt;

// What the holder does after the open, besides keeping the handle.
constexpr uint32_t SetDeleteDisposition = 0x1;  // FileDispositionInformation, DeleteFile TRUE
constexpr uint32_t LockExclusively = 0x2;       // a byte-range lock, exclusive, key 0

static_assert(MaximumOpens == 3, "three opens fit in a sector");
static_assert(MaximumNameBytes % 2 == 0, "a name is UTF-16");

}  // namespace HeldStateRecord
