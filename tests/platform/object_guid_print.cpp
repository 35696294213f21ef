// Prints the identifier of each argument, one per line, for the test that
// compares identifiers across processes.
#include <cstdio>
#include <string>

#include "host/GetObjectGuid.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string id;
        if (!GetObjectGuid(argv[i], 0, '/', id)) return 1;
        printf("%s\n", id.c_str());
    }
    return 0;
}
