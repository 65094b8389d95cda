// file_steps.h
//
// The three file steps DriverEntry runs, in this order. Each is a complete
// file-system operation that reports its outcome only through DbgPrint; none
// tells its caller how it ended.

#pragma once

// Makes sure \??\c:\Quarnhold exists, creating it if needed.
void CreateWorkDirectory(void);

// Creates test.txt in the work directory, empty; never replaces one.
void CreateTestFile(void);

// Opens test.txt and writes the 20 bytes of TestFileContent at its start.
void WriteTestFile(void);
