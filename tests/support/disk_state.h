// disk_state.h
//
// The scratch drive C and its contents as values, under the names the tests
// use.

#pragma once

#include "testbed/scratch_disk.h"

namespace quarnhold::tests {

using testbed::Clear;
using testbed::Describe;
using testbed::Directory;
using testbed::DiskItem;
using testbed::File;
using testbed::LayDown;
using testbed::Link;
using testbed::PrintTo;
using testbed::ReadDisk;
using testbed::ScratchFolder;

}  // namespace quarnhold::tests
