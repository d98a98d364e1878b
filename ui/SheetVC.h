#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <optional>

struct AppContext;
class KeyVerifier;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QSpinBox;
class QPushButton;
class QStackedLayout;
class ServiceSession;

// The settings sheet: the API key (verified with the service when saved), the output folder, the
// images in flight and a certificate authority to trust for a self-hosted service.
// One instance is created on first use and kept; every presentation refills it from the settings.
class SheetVC final : public QDialog {
    Q_OBJECT
public:
    // Chooses the output folder, starting at `startFolder`. Nothing when the chooser is
    // cancelled; an empty path when it is confirmed without a folder.
    using FolderChooser = std::function<std::optional<QString>(const QString& startFolder)>;

    // Longest API key, in user-perceived characters.
    static constexpr int kMaxKeyLength = 32;

    explicit SheetVC(AppContext& context, ServiceSession& session, QWidget* parent);
    ~SheetVC() override;

    // Shows the sheet window-modal over its parent.
    void present();

    // The file dialog behind "Change Folder" (tests replace it).
    void setFolderChooser(FolderChooser chooser);

    // Number of user-perceived characters (grapheme clusters) in `text`.
    static int graphemeCount(const QString& text);
    // `text` without its last user-perceived character.
    static QString withoutLastGrapheme(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildView();
    // Hangs the sheet from the top of its window, centred, over a dimmed window.
    void attachToWindow();
    void refillFromSettings();
    void resetKeyFields();
    void styleShowButton(const QString& title, int pixelSize);
    void keyTextEdited(QLineEdit* sender);

    void save();
    void getApiKey();
    void selectFolder();
    void chooseCaFile();
    void openOutputFolder();
    void showHideKey();

    AppContext& m_context;
    ServiceSession& m_session;
    KeyVerifier* m_verifier = nullptr;
    bool m_keyRejected = false;  // set by the verification under way, read when it ends
    FolderChooser m_chooseFolder;
    QWidget* m_scrim = nullptr;  // dims the window while the sheet is up

    QStackedLayout* m_keyStack = nullptr;
    QLineEdit* m_txtApiKey = nullptr;
    QLineEdit* m_txtShowPass = nullptr;
    QPushButton* m_btnShow = nullptr;
    QLabel* m_lblFolderName = nullptr;
    QLabel* m_lblVersion = nullptr;
    QSpinBox* m_spnImagesAtATime = nullptr;
    QComboBox* m_cmbResultNames = nullptr;
    QLineEdit* m_txtCaFile = nullptr;
    QPushButton* m_btnCaFile = nullptr;
    QPushButton* m_btnSelectFolder = nullptr;
    QPushButton* m_btnOutput = nullptr;
    QPushButton* m_btnGetKey = nullptr;
    QPushButton* m_btnSave = nullptr;
    QPushButton* m_btnCancel = nullptr;
    QFrame* m_footerView = nullptr;
};
