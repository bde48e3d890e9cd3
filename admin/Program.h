// The program block: one copy per user (a second copy asks the running one
// to restore its window and ends with 0), the splash, the forms in their
// order, the loop, and the lock given back at the end.
#pragma once

int TavrinProgram(int argc, char** argv);

// Starts every thread of Qt's global pool and keeps them for good, so that
// painting never needs a new descriptor (see Program.cpp).
void KeepPaintThreads();
