// mivo-profile: profile files <-> the driver's profile store in the registry
// (tools/lib/profile_cli.cpp).
#include <iostream>

#include "tools/lib/profile_cli.h"

int main(int argc, char **argv)
{
    return mivo::tools::mivo_profile_main(argc, argv, std::cout, std::cerr);
}
