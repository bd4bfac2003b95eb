// Entry point on Linux.

#include "main/linux/LinuxHost.h"

int main() { return quillane::host::runLinuxHost(); }
