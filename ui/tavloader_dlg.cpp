#include "ui/tavloader_dlg.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTime>
#include <QToolButton>
#include <algorithm>

#include "platform/debug_output.h"
#include "platform/port_list.h"
#include "platform/port_names.h"
#include "ui/about_dlg.h"
#include "ui/chrome.h"
#include "ui/resource.h"
#include "ui/status_text.h"

namespace wick::ui {

namespace {

constexpr unsigned SC_CLOSE = 0xF060;

std::optional<std::string> ChooseWithDialog(const QString& filter) {
  QString path = QFileDialog::getOpenFileName(nullptr, QString(), QString(), filter);
  if (path.isEmpty()) {
    return std::nullopt;
  }
  return path.toStdString();
}

template <typename T>
T* Control(QWidget* parent, int id, const QString& text = {}) {
  auto* control = new T(parent);
  SetControlId(*control, id);
  if constexpr (std::is_base_of_v<QAbstractButton, T>) {
    control->setText(text);
  }
  return control;
}

}  // namespace

CTavLoaderDlg::CTavLoaderDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_hIcon(AppIcon()),
      m_chooseFile(ChooseWithDialog) {
  setObjectName(QString::number(IDD_MAIN));
  m_protocol.Queue().Send([this] {
    m_session = std::make_unique<UpgradeSession>(m_protocol.Queue());
    UpgradeSession& s = *m_session;
    s.onProgress = [this](int32_t offset) { InWindow([this, offset] { OnProgress(offset); }); };
    s.onEvent = [this](const EngineEvent& e) { InWindow([this, e] { OnEngineEvent(e); }); };
    s.onLineState = [this, &s](int error) {
      std::string port = s.Client().m_szPortName;
      InWindow([this, port, error] {
        if (error != 0) {
          m_silence.stop();
        }
        ShowStatus(LineStateText(port, error));
      });
    };
    // Port, link and error lines; the per-packet levels would bury them.
    s.Client().SetTraceSink([this](int level, const char* text) {
      if (level <= 1) {
        QString line = QString::fromUtf8(text);
        InWindow([this, line] { AppendLog(line); });
      }
    });
  });
  m_silence.setSingleShot(true);
  connect(&m_silence, &QTimer::timeout, this, &CTavLoaderDlg::OnSilence);
  BuildControls();
  OnInitDialog();
}

CTavLoaderDlg::~CTavLoaderDlg() {
  // The session closes the port and joins the receive thread on the protocol thread, so that no
  // protocol step runs while it goes; work posted later finds no session and is dropped.
  m_protocol.Queue().Send([this] { m_session.reset(); });
  m_protocol.Queue().Shutdown();
}

void CTavLoaderDlg::BuildControls() {
  // Template order, which is also the tab order.
  m_btnClose = Control<QPushButton>(this, IDCANCEL, QStringLiteral("Close"));
  m_editPath = Control<QLineEdit>(this, IDC_PATH);
  m_btnLoad = Control<QPushButton>(this, IDC_LOAD, QStringLiteral("&Load"));
  m_btnUpgrade = Control<QPushButton>(this, IDC_UPGRADE, QStringLiteral("Upgrade"));
  m_btnConnect = Control<QPushButton>(this, IDC_CONNECT, QStringLiteral("&Connect"));
  m_cbPort = Control<QComboBox>(this, IDC_PORT);
  m_radioFirmware = Control<QRadioButton>(this, IDC_RADIO_FIRMWARE,
                                          QStringLiteral("Firmware upgrade (Recommended)"));
  m_radioBoot = Control<QRadioButton>(this, IDC_RADIO_BOOT,
                                      QStringLiteral("Boot Loader and Firmware upgrade"));
  m_radioChannel =
      Control<QRadioButton>(this, IDC_RADIO_CHANNEL, QStringLiteral("Channel data upgrade"));
  m_radioModule = Control<QRadioButton>(this, IDC_RADIO_MODULE, QStringLiteral("Module Upgrade"));
  m_progress = Control<QProgressBar>(this, IDC_PROGRESS);

  m_status = new QLabel(this);
  m_status->setObjectName(QStringLiteral("status"));
  m_status->setWordWrap(true);
  m_status->setTextFormat(Qt::PlainText);
  m_status->setFrameShape(QFrame::StyledPanel);
  m_status->setMinimumHeight(m_status->fontMetrics().lineSpacing() * 2 + 8);
  m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_btnLog = new QToolButton(this);
  m_btnLog->setObjectName(QStringLiteral("logToggle"));
  m_btnLog->setText(QStringLiteral("Log"));
  m_btnLog->setCheckable(true);
  m_btnLog->setChecked(true);
  m_btnLog->setArrowType(Qt::DownArrow);
  m_btnLog->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  m_btnLog->setAutoRaise(true);
  m_log = new QPlainTextEdit(this);
  m_log->setObjectName(QStringLiteral("log"));
  m_log->setReadOnly(true);
  m_log->setMaximumBlockCount(5000);
  m_log->setMinimumHeight(m_log->fontMetrics().lineSpacing() * 6);
  connect(m_btnLog, &QToolButton::toggled, this, [this](bool open) {
    m_btnLog->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    m_log->setVisible(open);
    adjustSize();
  });

  m_editPath->setReadOnly(true);
  m_cbPort->setEditable(true);
  m_cbPort->setInsertPolicy(QComboBox::NoInsert);
  m_cbPort->setMinimumContentsLength(14);
  m_progress->setTextVisible(false);
  m_progress->setFocusPolicy(Qt::NoFocus);
  m_btnLoad->setEnabled(false);
  m_btnUpgrade->setEnabled(false);
  m_btnUpgrade->setVisible(false);
  for (QPushButton* b : {m_btnClose, m_btnLoad, m_btnUpgrade, m_btnConnect}) {
    b->setAutoDefault(false);
  }

  auto* grid = new QGridLayout(this);
  grid->setColumnStretch(2, 1);
  grid->addWidget(m_cbPort, 0, 0, 1, 2);
  grid->addWidget(m_btnConnect, 0, 2, Qt::AlignLeft);
  grid->addWidget(m_radioFirmware, 1, 0, 1, 3);
  grid->addWidget(m_radioBoot, 2, 0, 1, 3);
  grid->addWidget(m_radioChannel, 3, 0, 1, 3);
  grid->addWidget(m_radioModule, 4, 0, 1, 3);
  grid->addWidget(m_btnLoad, 5, 0);
  grid->addWidget(m_btnUpgrade, 5, 1);
  grid->addWidget(m_editPath, 6, 0, 1, 3);
  grid->addWidget(m_progress, 7, 0, 1, 3);
  grid->addWidget(m_btnClose, 8, 0);
  grid->addWidget(m_status, 9, 0, 1, 3);
  grid->addWidget(m_btnLog, 10, 0, 1, 3, Qt::AlignLeft);
  grid->addWidget(m_log, 11, 0, 1, 3);
  grid->setRowStretch(11, 1);
  setMinimumWidth(fontMetrics().averageCharWidth() * 66);

  QWidget* order[] = {m_btnClose,     m_editPath,    m_btnLoad,       m_btnUpgrade,
                      m_btnConnect,   m_cbPort,      m_radioFirmware, m_radioBoot,
                      m_radioChannel, m_radioModule, m_btnLog,        m_log};
  for (size_t i = 1; i < std::size(order); ++i) {
    setTabOrder(order[i - 1], order[i]);
  }

  connect(m_btnClose, &QPushButton::clicked, this, &QDialog::reject);
  connect(m_btnConnect, &QPushButton::clicked, this, &CTavLoaderDlg::OnConnect);
  connect(m_btnLoad, &QPushButton::clicked, this, &CTavLoaderDlg::OnLoad);
  connect(m_radioFirmware, &QRadioButton::clicked, this, &CTavLoaderDlg::OnRadio1);
  connect(m_radioBoot, &QRadioButton::clicked, this, &CTavLoaderDlg::OnRadio2);
  connect(m_radioChannel, &QRadioButton::clicked, this, &CTavLoaderDlg::OnRadio3);
  connect(m_btnUpgrade, &QPushButton::clicked, this, &CTavLoaderDlg::OnUpgrade);
  connect(m_radioModule, &QRadioButton::clicked, this, &CTavLoaderDlg::OnRadio4);
}

void CTavLoaderDlg::OnInitDialog() {
  // The About item lives in the context menu (F1 too): a toolkit cannot extend the window
  // manager's own menu.
  setWindowIcon(m_hIcon);

  for (int i = 1; i <= 9; ++i) {
    m_cbPort->addItem(QStringLiteral("COM%1").arg(i));
  }
  // The devices this machine has, after the fixed list, so that a USB adapter can be picked too.
  for (const platform::SerialPortInfo& port : platform::ListSerialPorts()) {
    m_cbPort->addItem(QString::fromStdString(port.path));
    if (!port.byId.empty()) {
      m_cbPort->setItemData(m_cbPort->count() - 1, QString::fromStdString(port.byId),
                            Qt::ToolTipRole);
    }
  }
  m_cbPort->setCurrentIndex(0);

  m_radioFirmware->setChecked(true);
  OnRadio1();
  m_nMode = kModeFirmware;

  setWindowTitle(QStringLiteral("Wickflash  ver.1.2.0  (Jul  3 2009)"));
  m_progress->setValue(0);
  ShowStatus("Choose the port the box is wired to and press Connect.");
  m_btnClose->setFocus();
}

void CTavLoaderDlg::PostToProtocol(std::function<void(UpgradeSession&)> work) {
  m_protocol.Queue().Post([this, work = std::move(work)] {
    if (m_session) {
      work(*m_session);
    }
  });
}

void CTavLoaderDlg::InWindow(std::function<void()> work) {
  QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void CTavLoaderDlg::ShowStatus(const std::string& text) {
  QString line = QString::fromStdString(text);
  m_status->setText(line);
  AppendLog(line);
}

void CTavLoaderDlg::AppendLog(const QString& line) {
  m_log->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz  ")) + line);
}

QString CTavLoaderDlg::StatusText() const {
  return m_status->text();
}

QString CTavLoaderDlg::LogText() const {
  return m_log->toPlainText();
}

void CTavLoaderDlg::OnConnect() {
  // The whole field: COM10 is COM10, and a device path works as typed.
  std::string typed = m_cbPort->currentText().trimmed().toStdString();
  PostToProtocol([this, typed](UpgradeSession& s) {
    // A port whose line was lost is opened afresh: that is a new connection.
    bool wasOpen = s.Client().IsOpen() != 0 && !s.LineLost();
    bool ok = s.Connect(typed);
    std::string openPort = s.Client().m_szPortName;
    int error = s.Client().LastError();
    InWindow([=, this] { OnConnected(ok, wasOpen, typed, openPort, error); });
  });
}

void CTavLoaderDlg::OnConnected(bool ok, bool wasOpen, const std::string& typed,
                                const std::string& openPort, int error) {
  m_btnLoad->setEnabled(ok);
  m_btnUpgrade->setEnabled(false);
  if (!ok) {
    ShowStatus(ConnectFailedText(typed, platform::DevicePathForPort(typed), error));
  } else if (wasOpen) {
    ShowStatus(StillConnectedText(openPort, typed));
  } else {
    ShowStatus(ConnectedText(openPort, platform::DevicePathForPort(openPort)));
  }
}

void CTavLoaderDlg::OnLoad() {
  QString filter = QString::fromStdString(ChooserFilter(FileFilterForMode(m_nMode)));
  std::optional<std::string> chosen = m_chooseFile ? m_chooseFile(filter) : std::nullopt;
  if (!chosen) {
    m_btnUpgrade->setEnabled(false);
    return;
  }
  m_btnUpgrade->setEnabled(true);
  m_strPath = QString::fromStdString(*chosen);
  m_editPath->setText(m_strPath);

  const int32_t mode = m_nMode;
  PostToProtocol([this, path = *chosen, mode](UpgradeSession& s) {
    std::string error;
    // A file whose status cannot be read starts nothing; the size and the bar keep their values.
    if (!s.ChooseImage(path, error) || !s.ReadImageSize(error)) {
      InWindow([this, error] { ShowStatus(NoStartText(error)); });
      return;
    }
    const int32_t size = s.m_nFileSize;
    InWindow([this, size] {
      m_nFileSize = size;
      // An empty bar range would make the bar run as a busy indicator.
      m_progress->setRange(0, std::max(size, 1));
      m_progress->setValue(0);
    });
    bool sent = s.SendStart(mode, error);
    std::string name = s.m_szFileName;
    InWindow([this, sent, error, mode, name, size] {
      if (!sent) {
        ShowStatus(NoStartText(error));
        return;
      }
      m_runActive = true;
      m_silence.start(m_silenceLimitMs);
      ShowStatus(StartSentText(mode, name, size));
    });
  });
}

void CTavLoaderDlg::OnUpgrade() {
  const int32_t mode = m_nMode;
  PostToProtocol([this, mode](UpgradeSession& s) {
    std::string error;
    bool sent = s.SendStart(mode, error);
    std::string name = s.m_szFileName;
    int32_t size = s.m_nFileSize;
    InWindow([this, sent, error, mode, name, size] {
      if (sent) {
        m_runActive = true;
        m_silence.start(m_silenceLimitMs);
      }
      ShowStatus(sent ? StartSentText(mode, name, size) : NoStartText(error));
    });
  });
}

void CTavLoaderDlg::OnRadio1() {
  platform::DebugTrace("OnRadio1\n");
  m_nMode = kModeFirmware;
}

void CTavLoaderDlg::OnRadio2() {
  platform::DebugTrace("OnRadio2\n");
  m_nMode = kModeBootAndFirmware;
}

// The third button is channel data, mode 4; the fourth is the module, mode 3.
void CTavLoaderDlg::OnRadio3() {
  platform::DebugTrace("OnRadio3\n");
  m_nMode = kModeChannel;
}

void CTavLoaderDlg::OnRadio4() {
  platform::DebugTrace("OnRadio4\n");
  m_nMode = kModeModule;
}

void CTavLoaderDlg::OnProgress(int32_t offset) {
  // The bar ignores values outside its range; the offset passes the file size at the last,
  // padded block.
  m_progress->setValue(std::clamp(offset, m_progress->minimum(), m_progress->maximum()));
  if (m_runActive) {
    m_silence.start(m_silenceLimitMs);
  }
}

void CTavLoaderDlg::OnEngineEvent(const EngineEvent& event) {
  if (event.kind == EngineEvent::kUpgradeDone || event.kind == EngineEvent::kTransferRefused) {
    m_runActive = false;
    m_silence.stop();
  }
  std::string text = EventText(event);
  if (!text.empty()) {
    ShowStatus(text);
  }
}

void CTavLoaderDlg::OnSilence() {
  if (m_runActive) {
    ShowStatus(SilentBoxText(m_silenceLimitMs / 1000));
  }
}

void CTavLoaderDlg::OnSysCommand(unsigned id, long lParam) {
  (void)lParam;
  if (IsAboutCommand(id)) {
    // Modal, on this thread: queued progress is still taken in while it is open.
    CAboutDlg about(this);
    about.exec();
    return;
  }
  if ((id & 0xFFF0) == SC_CLOSE) {
    reject();
  }
}

void CTavLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("systemMenu"));
  menu.addAction(QStringLiteral("&Close"))->setData(SC_CLOSE);
  AddAboutItem(menu, LoadString(IDS_ABOUT_ITEM));
  if (QAction* chosen = menu.exec(event->globalPos())) {
    OnSysCommand(chosen->data().toUInt(), 0);
  }
}

void CTavLoaderDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    OnSysCommand(ID_ABOUT_CMD, 0);
    return;
  }
  QDialog::keyPressEvent(event);
}

void CTavLoaderDlg::paintEvent(QPaintEvent* event) {
  if (!isMinimized()) {
    QDialog::paintEvent(event);
    return;
  }
  QPainter painter(this);
  QPoint origin = IconOrigin(width(), height(), 32, 32);
  painter.drawPixmap(origin, m_hIcon.pixmap(32, 32));
}

}  // namespace wick::ui
