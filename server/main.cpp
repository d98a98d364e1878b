#include "Cli.h"

#include <string>
#include <utility>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return vserver::Cli(std::move(args)).run();
}
