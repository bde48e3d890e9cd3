#include "License.h"

#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include "Forms.h"
#include "LicenseText.h"

namespace {
constexpr const char* LicenseTitle = "Tavrin SMTP/POP3 Server License";
}

TfrmLicense::TfrmLicense(QWidget* parent) : QDialog(parent) {
    setObjectName("frmLicense");
    setWindowTitle("License");
    setSizeGripEnabled(true);

    reLicense = new QTextEdit(this);
    reLicense->setObjectName("reLicense");
    reLicense->setReadOnly(true);
    reLicense->setAcceptRichText(false);
    reLicense->setLineWrapMode(QTextEdit::NoWrap);
    reLicense->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reLicense->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reLicense->setUndoRedoEnabled(false);

    pnlButtons = new QWidget(this);
    pnlButtons->setObjectName("pnlButtons");
    pnlButtons->setFixedHeight(41);
    pnlButtons->installEventFilter(this);
    btnPrint = new QPushButton("Print", pnlButtons);
    btnPrint->setObjectName("btnPrint");
    btnSave = new QPushButton("Save", pnlButtons);
    btnSave->setObjectName("btnSave");
    btnOK = new QPushButton("OK", pnlButtons);
    btnOK->setObjectName("btnOK");
    btnOK->setDefault(true);
    for (QPushButton* b : {btnPrint, btnSave, btnOK}) b->resize(75, 25);
    btnPrint->move(12, 8);
    btnSave->move(95, 8);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnPrint, &QPushButton::clicked, this, &TfrmLicense::btnPrintClick);
    connect(btnSave, &QPushButton::clicked, this, &TfrmLicense::btnSaveClick);

    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    v->addWidget(reLicense, 1);
    v->addWidget(pnlButtons);

    SaveDialog1 = new QFileDialog(this, "Save License");
    SaveDialog1->setObjectName("SaveDialog1");
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setDefaultSuffix("txt");
    SaveDialog1->setNameFilter("Text File (*.txt)");

    // Small enough to leave the three buttons apart, OK never over Save,
    // and a few lines of the text in view.
    setMinimumSize(btnSave->x() + btnSave->width() + 8 + btnOK->width() + 12, pnlButtons->height() + 120);
    resize(560, 420);
    FormCreate();
}

void TfrmLicense::FormCreate() {
    reLicense->clear();
    QTextCursor c(reLicense->document());
    bool first = true;
    for (const std::string& line : LicenseLines()) {
        if (!first) c.insertBlock();
        c.insertText(QString::fromStdString(line));
        first = false;
    }
    reLicense->moveCursor(QTextCursor::Start);
}

bool TfrmLicense::eventFilter(QObject* watched, QEvent* event) {
    if (watched == pnlButtons && event->type() == QEvent::Resize) pnlButtonsResize();
    return QDialog::eventFilter(watched, event);
}

void TfrmLicense::pnlButtonsResize() { btnOK->move(pnlButtons->width() - btnOK->width() - 12, 8); }

bool TfrmLicense::SaveLines(const QString& fileName) const {
    QFile f(fileName);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray out;
    for (QTextBlock b = reLicense->document()->begin(); b.isValid(); b = b.next()) {
        out += b.text().toUtf8();
        out += '\n';
    }
    return f.write(out) == out.size() && f.flush();
}

void TfrmLicense::btnSaveClick() {
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty()) return;
    QString name = SaveDialog1->selectedFiles().first();
    if (!SaveLines(name)) ShowMessage("Cannot create file \"" + name + "\".", this);
}

void TfrmLicense::PrintTo(QPrinter& printer) const {
    printer.setDocName(LicenseTitle);
    reLicense->print(&printer);
}

void TfrmLicense::btnPrintClick() {
    QPrinter printer(QPrinter::HighResolution);
    // Printing goes to the default printer; a machine without one is asked
    // where to print instead (a file, for example), rather than printing
    // nowhere without a word.
    if (QPrinterInfo::defaultPrinter().isNull()) {
        QPrintDialog dlg(&printer, this);
        dlg.setObjectName("PrintDialog");
        if (dlg.exec() != QDialog::Accepted) return;
    }
    PrintTo(printer);
}
