// The mailing-list editor: one list's members with their Active and Manager
// marks, the welcome, signature and farewell texts, five behaviour switches,
// the archive file and the address for delivery failures. AddMailList and
// EditMailList open it modally and answer true when it closed with OK, after
// the list file was written.
//
// The editor owns one list definition for its whole life. An edited list is
// saved only when its file is unchanged since the editor loaded it; when the
// list processor changed it meanwhile, the administrator chooses between
// forcing the save and reloading the file into the dialog. The values the
// dialog has no control for (pending members, password, auto-file names, the
// "Do not report List Exists" switch) are carried through as loaded.
#pragma once

#include <memory>
#include <string>

#include "Settings_Controls.h"

class QCheckBox;
class QFileDialog;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;
class TMailListInformation;

class TfrmAddEditMailList : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmAddEditMailList(QWidget* parent = nullptr);  // FormCreate
    ~TfrmAddEditMailList() override;                          // FormDestroy

    QLineEdit* txtListName;
    QTabWidget* PageControl1;
    QWidget* tsGeneral;
    QLineEdit* txtArchiveFile;
    QPushButton* btnSelectArchiveFile;
    QPushButton* btnViewArchive;
    QCheckBox* cbxLB_AllowPublicSubscription;
    QCheckBox* cbxLB_ForceRepliesToList;
    QCheckBox* cbxLB_DoNotReportListMembers_SMTP;
    QCheckBox* cbxLB_DoNotReportListMembers;
    QCheckBox* cbxLB_MemberSubmissionOnly;
    QLineEdit* txtErrorsMailedTo;
    QWidget* tsMembers;
    QTreeWidget* lvMembers;
    QWidget* tsWelcome;
    QPlainTextEdit* memoSL_Welcome;
    QWidget* tsSignature;
    QPlainTextEdit* memoSL_Signature;
    QWidget* tsFarewell;
    QPlainTextEdit* memoSL_Farewell;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    QMenu* popupMembers;
    QAction* puMbr_Add;
    QAction* puMbr_AddLocal;
    QAction* puMbr_Edit;
    QAction* puMbr_Delete;
    QAction* puMbr_Active;
    QAction* puMbr_Inactive;
    QAction* puMbr_Manager;
    QAction* puMbr_NoManager;
    QMenu* popupMessage;
    QAction* puMsg_Clear;
    QAction* puMsg_Cut;
    QAction* puMsg_Copy;
    QAction* puMsg_Paste;
    QAction* puMsg_LoadfromFile;
    QAction* puMsg_SavetoFile;
    QFileDialog* SaveDialog1;
    QFileDialog* OpenDialogText;
    QFileDialog* SaveDialogText;

    // Member view columns.
    enum { colIndex = 0, colActive = 1, colManager = 2, colAddress = 3 };

    bool AddMailList();
    bool EditMailList(const std::string& name);
    void FillControls();

    void btnOKClick();
    void btnSelectArchiveFileClick();
    void btnViewArchiveClick();
    void puMsg_ClearClick();
    void puMsg_CutClick();
    void puMsg_CopyClick();
    void puMsg_PasteClick();
    void puMsg_LoadfromFileClick();
    void puMsg_SavetoFileClick();
    void popupMembersPopup();
    void puMbr_AddClick();
    void puMbr_AddLocalClick();
    void lvMembersDblClick();
    void puMbr_EditClick();
    void puMbr_DeleteClick();
    void puMbr_ActiveClick();
    void puMbr_InactiveClick();
    void puMbr_ManagerClick();
    void puMbr_NoManagerClick();

    // The dialog's definition (as last loaded, cleared or saved).
    const TMailListInformation& List() const { return *FList; }

protected:
    void FormShow() override;

private:
    // The memo of the active page; none on "General" and "Members".
    QPlainTextEdit* ActiveMemo() const;
    bool HoldsAddress(const QString& address) const;
    void AppendMember(const QString& address);
    void SetSelectedColumn(int column, const char* text);
    void FillMemo(QPlainTextEdit* memo, const std::vector<std::string>& lines, TTextCodec& codec);
    std::vector<std::string> MemoLines(QPlainTextEdit* memo, const TTextCodec& codec) const;
    // Writes the definition; false when the dialog stays open.
    bool SaveEdited(const std::string& name);

    std::unique_ptr<TMailListInformation> FList;
    TTextCodec FWelcomeCodec, FSignatureCodec, FFarewellCodec;
};

extern TfrmAddEditMailList* frmAddEditMailList;
