// The About box: version, the maker's rights line and addresses, the licence
// link, the pictures and a note to the users.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class TClickLabel;

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);

    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblRights;
    TClickLabel* lblWebSite;
    TClickLabel* lblLicense;
    TClickLabel* imgTavrin;
    TClickLabel* imgSource;
    QLabel* imgAuthor;
    TClickLabel* lblEMail;
    QPlainTextEdit* Memo1;

    void lblLicenseClick();
    void lblWebSiteClick();
    void lblEMailClick();
    void imgSourceClick();

protected:
    void showEvent(QShowEvent* e) override;

private:
    void FormShow();
};
