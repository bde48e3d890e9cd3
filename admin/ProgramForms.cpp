#include "ProgramForms.h"

#include "About.h"
#include "AddEditAlias.h"
#include "AddEditMailList.h"
#include "AddEditUser.h"
#include "ChooseUser.h"
#include "CloseQuery.h"
#include "Forms.h"
#include "License.h"
#include "ManageAliases.h"
#include "ManageMailLists.h"
#include "ManageUsers.h"
#include "Settings_General.h"
#include "Settings_Pop3Server.h"
#include "Settings_SmtpAgent.h"
#include "Settings_SmtpServer.h"
#include "Settings_SmtpServerAccessControl.h"
#include "ViewMailListArchive.h"

namespace {
template <class T>
void make(T*& global) {
    if (!global) global = new T();
}
template <class T>
void drop(T*& global) {
    delete global;
    global = nullptr;
}
}  // namespace

void CreateProgramForms() {
    // The first-start window may have made the general settings already.
    make(frmSettings_General);
    make(frmAbout);
    make(frmLicense);
    make(frmSettings_Pop3Server);
    make(frmManageUsers);
    make(frmAddEditUser);
    make(frmSettings_SmtpServer);
    make(frmManageMailLists);
    make(frmAddEditMailList);
    make(frmManageAliases);
    make(frmAddEditAlias);
    make(frmChooseUser);
    make(frmSettings_SmtpAgent);
    make(frmViewMailListArchive);
    make(frmCloseQuery);
    make(frmSettings_SmtpServerAccessControl);
}

void FreeProgramForms() {
    drop(frmSettings_SmtpServerAccessControl);
    drop(frmCloseQuery);
    drop(frmViewMailListArchive);
    drop(frmSettings_SmtpAgent);
    drop(frmChooseUser);
    drop(frmAddEditAlias);
    drop(frmManageAliases);
    drop(frmAddEditMailList);
    drop(frmManageMailLists);
    drop(frmSettings_SmtpServer);
    drop(frmAddEditUser);
    drop(frmManageUsers);
    drop(frmSettings_Pop3Server);
    drop(frmLicense);
    drop(frmAbout);
    drop(frmSettings_General);
}
