// The dialogs the program block creates once at start-up, right after the
// main window, in the program's fixed order, and frees at exit.
#pragma once

void CreateProgramForms();  // each form only when it does not exist yet
void FreeProgramForms();    // in reverse order; every global is null after
