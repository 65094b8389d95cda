// messages.h
//
// The driver's messages as the tests know them, under the names the tests
// use.

#pragma once

#include "fault_sweep/expected_messages.h"

namespace quarnhold::tests {

namespace message = fault_sweep::message;
using fault_sweep::AllMessages;
using fault_sweep::MessageFormat;
using fault_sweep::Printed;
using fault_sweep::TestFileContent;
using fault_sweep::TestFilePath;
using fault_sweep::WorkDirectoryPath;

}  // namespace quarnhold::tests
