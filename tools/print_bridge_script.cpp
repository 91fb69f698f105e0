// Prints the page script exactly as the launcher builds it, so the page-script
// tests run the launcher's own text.
//   print-bridge-script VERSION TOKEN GAME_HOST
#include "rules/bridge_script.hpp"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: print-bridge-script VERSION TOKEN GAME_HOST\n";
        return 2;
    }
    std::cout << vorlia::bridgeScript(argv[1], argv[3], argv[2]) << std::flush;
    return std::cout ? 0 : 1;
}
