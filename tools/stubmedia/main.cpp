// stubmedia: pack, check and explain SetupStub media.
#include "commands.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return stubmedia::RunStubmedia(args, std::cout, std::cerr);
}
