// The upgrade window: port and Connect, the kind of upgrade, Load, the progress bar, a status line
// and a log view. Every protocol step runs on the window's own protocol thread; results, progress
// and trace lines come back as queued calls carrying copies, so the window never waits for the
// line and keeps repainting while a block is being written.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "protocol/upgrade_session.h"
#include "util/task_queue.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace wick::ui {

class CTavLoaderDlg : public QDialog {
  Q_OBJECT

 public:
  // The file chooser: given the filter in the chooser's form, the chosen file's full path, or
  // nothing when the operator cancelled. Tests replace it.
  using FileChooser = std::function<std::optional<std::string>(const QString& filter)>;

  explicit CTavLoaderDlg(QWidget* parent = nullptr);
  ~CTavLoaderDlg() override;

  void SetFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }
  // How long a run may go without a byte from the box before the window says so.
  void SetSilenceLimit(int ms) { m_silenceLimitMs = ms; }

  // The handlers of the controls.
  void OnConnect();
  void OnLoad();
  void OnUpgrade();
  void OnRadio1();
  void OnRadio2();
  void OnRadio3();
  void OnRadio4();
  // A command of the window menu: the About item opens the About box, whatever the low four bits.
  void OnSysCommand(unsigned id, long lParam);
  // What a drag of the minimised window shows.
  QIcon OnQueryDragIcon() const { return m_hIcon; }

  int32_t Mode() const { return m_nMode; }
  QString StatusText() const;
  QString LogText() const;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void BuildControls();
  void OnInitDialog();
  // Runs on the protocol thread, with the session; dropped once the session is gone.
  void PostToProtocol(std::function<void(UpgradeSession&)> work);
  // Queued back to the window's thread.
  void InWindow(std::function<void()> work);
  void ShowStatus(const std::string& text);
  void AppendLog(const QString& line);
  void OnConnected(bool ok, bool wasOpen, const std::string& typed, const std::string& openPort,
                   int error);
  void OnProgress(int32_t offset);
  void OnEngineEvent(const EngineEvent& event);
  void OnSilence();

  // The protocol thread outlives the session it runs: the session is created and destroyed on it.
  ProtocolThread m_protocol;
  std::unique_ptr<UpgradeSession> m_session;  // touched on the protocol thread only

  QProgressBar* m_progress = nullptr;
  QRadioButton* m_radioFirmware = nullptr;
  QPushButton* m_btnUpgrade = nullptr;
  QPushButton* m_btnLoad = nullptr;
  QComboBox* m_cbPort = nullptr;
  QPushButton* m_btnClose = nullptr;
  QPushButton* m_btnConnect = nullptr;
  QLineEdit* m_editPath = nullptr;
  QRadioButton* m_radioBoot = nullptr;
  QRadioButton* m_radioChannel = nullptr;
  QRadioButton* m_radioModule = nullptr;
  QLabel* m_status = nullptr;
  QToolButton* m_btnLog = nullptr;
  QPlainTextEdit* m_log = nullptr;

  QString m_strPath;
  int32_t m_nMode = kModeFirmware;
  int32_t m_nFileSize = 0;  // the window's copy, for the bar's range
  QIcon m_hIcon;
  FileChooser m_chooseFile;

  // A run is active from the start request until the final CRC or a refusal; while it is, a box
  // that sends nothing for m_silenceLimitMs is reported once.
  bool m_runActive = false;
  int m_silenceLimitMs = 15000;
  QTimer m_silence;
};

}  // namespace wick::ui
