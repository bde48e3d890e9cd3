#include "Forms.h"

#include <QMessageBox>
#include <QString>

#include "About.h"
#include "CloseQuery.h"
#include "License.h"
#include "Main.h"
#include "Splash.h"

TfrmMain* frmMain = nullptr;
TfrmAbout* frmAbout = nullptr;
TfrmLicense* frmLicense = nullptr;
TfrmCloseQuery* frmCloseQuery = nullptr;
QPointer<TfrmSplash> frmSplash;

void ShowMessage(const QString& text, QWidget* parent) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok, parent);
    box.setObjectName("ShowMessage");
    box.exec();
}
