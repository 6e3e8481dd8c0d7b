// The serial link on this platform's own device, driven by the line protocol
// of driver.h: the Win32 backend under Wine, the POSIX one beside other
// serial programs.
#include "driver.h"

int main() { return test::RunDriver(); }
