// The licence viewer: the licence text, built once at creation, with OK,
// Print (to the default printer) and Save (as plain text).
#pragma once

#include <QDialog>

class QFileDialog;
class QPrinter;
class QPushButton;
class QTextEdit;
class QWidget;

class TfrmLicense : public QDialog {
    Q_OBJECT
public:
    explicit TfrmLicense(QWidget* parent = nullptr);

    QTextEdit* reLicense;
    QWidget* pnlButtons;
    QPushButton* btnOK;
    QPushButton* btnPrint;
    QPushButton* btnSave;
    QFileDialog* SaveDialog1;

    void btnSaveClick();
    void btnPrintClick();
    // The lines of reLicense written to a file, each with a line end; false
    // when the file cannot be written (the caller reports it).
    bool SaveLines(const QString& fileName) const;
    // Prints reLicense on the given printer under the document title.
    void PrintTo(QPrinter& printer) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void pnlButtonsResize();
};
