// mivo-ctl: the control application, steering the driver through its command
// report 0xF0 and reading its status report (tools/lib/ctl_cli.cpp).
#include <iostream>

#include "tools/lib/ctl_cli.h"

int main(int argc, char **argv)
{
    return mivo::tools::mivo_ctl_main(argc, argv, std::cin, std::cout, std::cerr);
}
