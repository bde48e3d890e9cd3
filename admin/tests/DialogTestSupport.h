// Helpers of the settings and account dialog tests: the forms as the program
// creates them, a fresh settings object in a temporary base folder, scripts
// run when a named window shows, answers for message and input boxes, and
// screenshots into the build folder.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AddEditAlias.h"
#include "AddEditMailList.h"
#include "AddEditUser.h"
#include "ChooseUser.h"
#include "DataU1.h"
#include "ManageAliases.h"
#include "ManageMailLists.h"
#include "ManageUsers.h"
#include "Settings_General.h"
#include "Settings_Pop3Server.h"
#include "Settings_SmtpAgent.h"
#include "Settings_SmtpServer.h"
#include "Settings_SmtpServerAccessControl.h"
#include "ViewMailListArchive.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace dialogtest {

// Runs action once for every showing of a window named `name`, from the
// window's own (modal) loop, as soon as that loop runs.
class WhenShown : public QObject {
public:
    WhenShown(const QString& name, std::function<void(QWidget*)> action) : name_(name), action_(std::move(action)) {
        qApp->installEventFilter(this);
    }
    ~WhenShown() override { qApp->removeEventFilter(this); }
    int count() const { return count_; }

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Show && o->isWidgetType() && o->objectName() == name_ &&
            static_cast<QWidget*>(o)->isWindow()) {
            QPointer<QWidget> w = static_cast<QWidget*>(o);
            QTimer::singleShot(0, this, [this, w] {
                if (!w || !w->isVisible()) return;
                ++count_;
                action_(w);
            });
        }
        return false;
    }

private:
    QString name_;
    std::function<void(QWidget*)> action_;
    int count_ = 0;
};

// Answers every message box: ShowMessage with OK, MessageDlg with the next
// queued answer (its escape button when none is queued). Records the texts.
class MessageBoxes {
public:
    MessageBoxes()
        : plain_("ShowMessage", [this](QWidget* w) { answer(w, QMessageBox::Ok); }),
          dlg_("MessageDlg", [this](QWidget* w) {
              QMessageBox::StandardButton b = QMessageBox::NoButton;
              if (!answers.empty()) {
                  b = answers.front();
                  answers.pop_front();
              }
              answer(w, b);
          }) {}
    QStringList texts;
    std::deque<QMessageBox::StandardButton> answers;
    QString last() const { return texts.isEmpty() ? QString() : texts.last(); }

private:
    void answer(QWidget* w, QMessageBox::StandardButton b) {
        auto* box = qobject_cast<QMessageBox*>(w);
        texts << box->text();
        QAbstractButton* button = b == QMessageBox::NoButton ? box->escapeButton() : box->button(b);
        if (!button) button = box->buttons().first();
        button->click();
    }
    WhenShown plain_;
    WhenShown dlg_;
};

// Answers input boxes with queued texts (nullopt: Cancel); records what each
// box showed.
class InputBoxes {
public:
    InputBoxes()
        : on_("InputBox", [this](QWidget* w) {
              auto* d = qobject_cast<QInputDialog*>(w);
              captions << d->windowTitle();
              prompts << d->labelText();
              defaults << d->textValue();
              std::optional<QString> a;
              if (!answers.empty()) {
                  a = answers.front();
                  answers.pop_front();
              }
              if (a) {
                  d->setTextValue(*a);
                  d->accept();
              } else {
                  d->reject();
              }
          }) {}
    std::deque<std::optional<QString>> answers;
    QStringList captions, prompts, defaults;

private:
    WhenShown on_;
};

// Picks a file or folder in the next file dialog of that name (nullopt:
// Cancel); records its title.
class FileDialogs {
public:
    explicit FileDialogs(const QString& name)
        : on_(name, [this](QWidget* w) {
              auto* d = qobject_cast<QFileDialog*>(w);
              titles << d->windowTitle();
              filters << d->nameFilters().join(";;");
              std::optional<QString> a;
              if (!answers.empty()) {
                  a = answers.front();
                  answers.pop_front();
              }
              if (a) {
                  d->selectFile(*a);
                  // selectFile leaves the name field alone while it has the focus.
                  if (auto* name = d->findChild<QLineEdit*>("fileNameEdit")) name->setText(*a);
                  QMetaObject::invokeMethod(d, "accept");
              } else {
                  d->reject();
              }
          }) {}
    std::deque<std::optional<QString>> answers;
    QStringList titles, filters;

private:
    WhenShown on_;
};

template <typename T>
T* child(QWidget* w, const char* name) {
    T* c = w->findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// Writes the window as it is drawn now to <build>/tavrin-dialog-<name>.png.
inline void Screenshot(QWidget* w, const std::string& name) {
    QPixmap shot = w->grab();
    std::string path = std::string(TAVRIN_BINARY_DIR) + "/tavrin-dialog-" + name + ".png";
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(QString::fromStdString(path), "PNG")) << path;
}

// Selects exactly the rows whose texts are given, the last one current.
inline void SelectRows(QListWidget* list, const QStringList& texts) {
    list->clearSelection();
    for (int i = 0; i < list->count(); ++i)
        if (texts.contains(list->item(i)->text())) {
            list->setCurrentRow(i, QItemSelectionModel::Select);
        }
}

inline QStringList Items(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

inline QStringList Items(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

// The settings and account forms as the program block makes them, in its
// order, reached through their globals; freed in reverse.
struct DialogForms {
    DialogForms() {
        frmSettings_General = new TfrmSettings_General();
        frmSettings_Pop3Server = new TfrmSettings_Pop3Server();
        frmManageUsers = new TfrmManageUsers();
        frmAddEditUser = new TfrmAddEditUser();
        frmSettings_SmtpServer = new TfrmSettings_SmtpServer();
        frmManageMailLists = new TfrmManageMailLists();
        frmAddEditMailList = new TfrmAddEditMailList();
        frmManageAliases = new TfrmManageAliases();
        frmAddEditAlias = new TfrmAddEditAlias();
        frmChooseUser = new TfrmChooseUser();
        frmSettings_SmtpAgent = new TfrmSettings_SmtpAgent();
        frmViewMailListArchive = new TfrmViewMailListArchive();
        frmSettings_SmtpServerAccessControl = new TfrmSettings_SmtpServerAccessControl();
    }
    ~DialogForms() {
        delete frmSettings_SmtpServerAccessControl;
        frmSettings_SmtpServerAccessControl = nullptr;
        delete frmViewMailListArchive;
        frmViewMailListArchive = nullptr;
        delete frmSettings_SmtpAgent;
        frmSettings_SmtpAgent = nullptr;
        delete frmChooseUser;
        frmChooseUser = nullptr;
        delete frmAddEditAlias;
        frmAddEditAlias = nullptr;
        delete frmManageAliases;
        frmManageAliases = nullptr;
        delete frmAddEditMailList;
        frmAddEditMailList = nullptr;
        delete frmManageMailLists;
        frmManageMailLists = nullptr;
        delete frmSettings_SmtpServer;
        frmSettings_SmtpServer = nullptr;
        delete frmAddEditUser;
        frmAddEditUser = nullptr;
        delete frmManageUsers;
        frmManageUsers = nullptr;
        delete frmSettings_Pop3Server;
        frmSettings_Pop3Server = nullptr;
        delete frmSettings_General;
        frmSettings_General = nullptr;
    }
};

// A fresh base folder under a temporary XDG_DATA_HOME, its settings object
// and the forms.
class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerInformation = std::make_unique<TServerInformation>();
        si().ServerName = "mail.example.com";
        si().LocalDomains = {"example.com"};
        forms = std::make_unique<DialogForms>();
        // A script that fails to close its window would leave the test
        // waiting in a modal loop: close every modal window and fail instead.
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            ADD_FAILURE() << "a modal window was left open";
            for (int i = 0; i < 20 && QApplication::activeModalWidget(); ++i) {
                QWidget* w = QApplication::activeModalWidget();
                if (auto* d = qobject_cast<QDialog*>(w))
                    d->done(0);
                else
                    w->close();
            }
        });
        watchdog.start(60000);
    }
    void TearDown() override {
        forms.reset();
        ServerInformation.reset();
        platform::setNowOverride(std::nullopt);
    }
    static TServerInformation& si() { return *ServerInformation; }

    // Every setting as the settings file would hold it now.
    static std::string settingsText() {
        TServerInformation& s = si();
        std::string file = s.IniFileName();
        std::string old;
        bool had = platform::readWholeFile(file, old);
        s.SaveToIniFile();
        std::string text = testsupport::readFile(file);
        if (had)
            testsupport::writeFile(file, old);
        else
            std::remove(file.c_str());
        return text;
    }

    static void makeUser(const std::string& name, const std::string& forward = "") {
        TPop3UserInformation u;
        u.ForwardToAddress = forward;
        u.Password = "pw-" + name;
        ASSERT_TRUE(u.SaveUser(name));
    }

    testsupport::ScopedDataHome home;
    testsupport::TempDir tmp;
    std::unique_ptr<DialogForms> forms;
    QTimer watchdog;
};

}  // namespace dialogtest
