#include "Program.h"

int main(int argc, char** argv) { return TavrinProgram(argc, argv); }
