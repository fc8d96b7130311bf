// mivo-sim: runs the driver on a virtual six-axis controller in virtual time
// and prints what the virtual HID device reports (tools/lib/sim_cli.cpp).
#include <iostream>

#include "tools/lib/sim_cli.h"

int main(int argc, char **argv)
{
    return mivo::tools::mivo_sim_main(argc, argv, std::cout, std::cerr);
}
