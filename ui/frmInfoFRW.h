// The package information window: pick one firmware file of the loaded package
// and read its description. It only displays; it changes nothing.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace dwnfrw {

class frmInfoFRW : public QDialog {
    Q_OBJECT

  public:
    // Loads the window: translation, the list of described files and the
    // description of the first one.
    explicit frmInfoFRW(QWidget* owner = nullptr);

    // Contents of the display fields until a file is chosen.
    static inline const QString kPlaceholder = QStringLiteral("-");

  private:
    void fillList();
    void showRecord(int entry);

    QComboBox* cmbFRW_ = nullptr;
    QLabel* lblVers_ = nullptr;
    QLabel* lblArticoli_ = nullptr;
    QLabel* lblTipo_ = nullptr;
    QPlainTextEdit* txtFunz_ = nullptr;
    QPlainTextEdit* txtBugFix_ = nullptr;
    QPlainTextEdit* txtNote_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
};

// The "info" command: opens the window afresh over the current descriptions,
// modal to owner, and returns once it is closed.
void FireInfoFRW(QWidget* owner);

}  // namespace dwnfrw
