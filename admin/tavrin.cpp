#include "Program.h"
#include "platform/Memory.h"

int main(int argc, char** argv) {
    platform::setUpMemory();
    return TavrinProgram(argc, argv);
}
