#include "CloseQuery.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfrmCloseQuery::TfrmCloseQuery(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("frmCloseQuery");
    setWindowTitle("Closing Tavrin SMTP/POP3 Server");

    auto label = [this](const char* name, const char* text) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setObjectName(name);
        return l;
    };
    Label4 = label("Label4", "Warning...");
    QFont bold = Label4->font();
    bold.setBold(true);
    Label4->setFont(bold);
    Label1 = label("Label1", "If you close this application you will no longer be able to");
    Label2 = label("Label2", "receive and relay internet mail with this computer.");
    Label3 = label("Label3", "Are you sure you want to close Tavrin?");
    Label5 = label("Label5",
                   "Note: If you did not start this program, you probably do not want to close it.  You "
                   "probably just want it to go away.  In this case, choose minimize and it will return to "
                   "the Windows Tray and you won't have to think about it again.");
    Label5->setWordWrap(true);

    auto button = [this](const char* name, const char* text, int result) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setObjectName(name);
        connect(b, &QPushButton::clicked, this, [this, result] { done(result); });
        return b;
    };
    btnYes = button("btnYes", "Yes", mrYes);
    btnCancel = button("btnCancel", "No, &Cancel", mrNo);
    btnMinimize = button("btnMinimize", "&Minimize", mrIgnore);
    btnMinimize->setDefault(true);

    auto* text = new QVBoxLayout;
    for (QLabel* l : {Label4, Label1, Label2, Label3}) text->addWidget(l);
    text->addSpacing(8);
    text->addWidget(Label5);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnYes);
    buttons->addWidget(btnCancel);
    buttons->addWidget(btnMinimize);
    auto* all = new QVBoxLayout(this);
    all->addLayout(text);
    all->addSpacing(8);
    all->addLayout(buttons);
    setFixedWidth(440);
}

void TfrmCloseQuery::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    FormShow();
}

void TfrmCloseQuery::FormShow() { btnMinimize->setFocus(Qt::OtherFocusReason); }
