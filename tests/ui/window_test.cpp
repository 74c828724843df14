// The upgrade window on the offscreen platform: its controls and their states, Connect on a
// pseudo-terminal and on a missing device, each kind of upgrade on the wire, a whole run against
// the simulated box with the window staying live, and the About box.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/port_list.h"
#include "sim/sim_box.h"
#include "ui/about_dlg.h"
#include "ui/chrome.h"
#include "ui/resource.h"
#include "ui/status_text.h"
#include "ui/tavloader_dlg.h"
#include "util/crc32.h"

namespace wick::ui {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kBlock = 8192;

template <typename T = QWidget>
T* ById(QWidget& window, int id) {
  return window.findChild<T*>(QString::number(id));
}

std::string WriteFile(const QTemporaryDir& dir, const std::string& name, const Bytes& bytes) {
  std::string path = dir.path().toStdString() + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

// Up to count bytes from the box's side of the line, within the time limit.
Bytes ReadLine(int fd, size_t count, int limitMs) {
  Bytes out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (out.size() < count && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      uint8_t buf[256];
      ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
      if (n > 0) {
        out.insert(out.end(), buf, buf + n);
      }
    }
    QCoreApplication::processEvents();
  }
  return out;
}

// Runs check on the first modal window that opens within the time limit, then closes it.
void OnNextModal(std::function<void(QWidget&)> check, int limitMs = 3000) {
  auto* poller = new QTimer;
  auto start = std::chrono::steady_clock::now();
  QObject::connect(poller, &QTimer::timeout, [poller, check, start, limitMs] {
    QWidget* modal = QApplication::activeModalWidget();
    bool late = std::chrono::steady_clock::now() - start > std::chrono::milliseconds(limitMs);
    if (modal != nullptr && modal->objectName() != QString::number(IDD_MAIN)) {
      check(*modal);
      modal->close();
    } else if (!late) {
      return;
    }
    poller->deleteLater();
    poller->stop();
  });
  poller->start(10);
}

// Threads of this process that carry its own name: the ones it starts itself (protocol and
// receive threads). Qt names its own workers ("Thread (pooled)", the test watchdog).
int ThreadCount() {
  auto name = [](const std::filesystem::path& comm) {
    std::string text;
    std::getline(std::ifstream(comm), text);
    return text;
  };
  const std::string own = name("/proc/self/comm");
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    n += name(entry.path() / "comm") == own ? 1 : 0;
  }
  return n;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  // A window connected to the slave side of a fresh pseudo-terminal.
  void Connect(CTavLoaderDlg& dlg, const std::string& port) {
    ById<QComboBox>(dlg, IDC_PORT)->setCurrentText(QString::fromStdString(port));
    ById<QPushButton>(dlg, IDC_CONNECT)->click();
  }

 private slots:
  void initialState();
  void connectOnAPtyAndOnAMissingDevice_data();
  void connectOnAPtyAndOnAMissingDevice();
  void aSecondConnectKeepsTheFirstPort();
  void eachModeGivesItsFilterAndItsStartCode_data();
  void eachModeGivesItsFilterAndItsStartCode();
  void cancellingTheChooserOnlyDisablesUpgrade();
  void aSecondLoadDuringARunStartsANewOneAtOnce();
  void aFileThatCannotBeReadStartsNothingAndSaysWhy();
  void aWholeRunAgainstTheSimulatedBoxKeepsTheWindowLive();
  void aRefusedImageIsShownInWords();
  void aSilentBoxAndALostLineAreShownInWords();
  void aLineUnpluggedMidBlockIsShownAndTheWindowStaysUsable();
  void theAboutBoxOpensFromTheMenuF1AndSystemCommands();
  void chrome();
  void statusTexts();
};

void WindowTest::initialState() {
  CTavLoaderDlg dlg;
  QCOMPARE(dlg.windowTitle(), QStringLiteral("Wickflash  ver.1.2.0  (Jul  3 2009)"));

  struct Expect {
    int id;
    const char* type;
    QString text;
    bool enabled;
    bool hidden;
  };
  const Expect controls[] = {
      {IDCANCEL, "QPushButton", "Close", true, false},
      {IDC_PATH, "QLineEdit", "", true, false},
      {IDC_LOAD, "QPushButton", "&Load", false, false},
      {IDC_UPGRADE, "QPushButton", "Upgrade", false, true},
      {IDC_CONNECT, "QPushButton", "&Connect", true, false},
      {IDC_PORT, "QComboBox", "COM1", true, false},
      {IDC_RADIO_FIRMWARE, "QRadioButton", "Firmware upgrade (Recommended)", true, false},
      {IDC_RADIO_BOOT, "QRadioButton", "Boot Loader and Firmware upgrade", true, false},
      {IDC_RADIO_CHANNEL, "QRadioButton", "Channel data upgrade", true, false},
      {IDC_RADIO_MODULE, "QRadioButton", "Module Upgrade", true, false},
      {IDC_PROGRESS, "QProgressBar", "", true, false},
  };
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  QList<QWidget*> tabOrder;
  for (const Expect& e : controls) {
    QWidget* w = ById(dlg, e.id);
    QVERIFY2(w != nullptr, qPrintable(QString::number(e.id)));
    QCOMPARE(w->property("controlId").toInt(), e.id);
    QCOMPARE(w->metaObject()->className(), e.type);
    QCOMPARE(w->isEnabled(), e.enabled);
    QCOMPARE(w->isHidden(), e.hidden);
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      QCOMPARE(b->text(), e.text);
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
      QCOMPARE(c->currentText(), e.text);
    } else if (auto* l = qobject_cast<QLineEdit*>(w)) {
      QCOMPARE(l->text(), e.text);
    }
    if (e.id != IDC_PROGRESS) {
      tabOrder.append(w);
    }
  }
  // Template order is the tab order; the bar takes no focus.
  for (qsizetype i = 1; i < tabOrder.size(); ++i) {
    QWidget* next = tabOrder[i - 1]->nextInFocusChain();
    while (next->focusPolicy() == Qt::NoFocus || next->focusProxy() != nullptr) {
      next = next->nextInFocusChain();
    }
    QCOMPARE(next->objectName(), tabOrder[i]->objectName());
  }
  QCOMPARE(ById<QProgressBar>(dlg, IDC_PROGRESS)->focusPolicy(), Qt::NoFocus);

  auto* port = ById<QComboBox>(dlg, IDC_PORT);
  QVERIFY(port->isEditable());
  QStringList expected;
  for (int i = 1; i <= 9; ++i) {
    expected << QStringLiteral("COM%1").arg(i);
  }
  for (const auto& p : platform::ListSerialPorts()) {
    expected << QString::fromStdString(p.path);
  }
  QStringList items;
  for (int i = 0; i < port->count(); ++i) {
    items << port->itemText(i);
  }
  QCOMPARE(items, expected);
  QCOMPARE(port->currentIndex(), 0);

  QVERIFY(ById<QRadioButton>(dlg, IDC_RADIO_FIRMWARE)->isChecked());
  for (int id : {IDC_RADIO_BOOT, IDC_RADIO_CHANNEL, IDC_RADIO_MODULE}) {
    QVERIFY(!ById<QRadioButton>(dlg, id)->isChecked());
  }
  QCOMPARE(dlg.Mode(), 1);
  QVERIFY(ById<QLineEdit>(dlg, IDC_PATH)->isReadOnly());
  QCOMPARE(ById<QProgressBar>(dlg, IDC_PROGRESS)->value(), 0);
  QVERIFY(!dlg.windowIcon().isNull());
  QCOMPARE(dlg.OnQueryDragIcon().cacheKey(), dlg.windowIcon().cacheKey());
  QVERIFY(!(dlg.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
  QVERIFY(QTest::qWaitForWindowActive(&dlg));
  QTRY_COMPARE(QApplication::focusWidget(), ById(dlg, IDCANCEL));
}

void WindowTest::connectOnAPtyAndOnAMissingDevice_data() {
  QTest::addColumn<QString>("port");
  QTest::addColumn<bool>("loadEnabled");
  QTest::addColumn<QString>("says");
  QTest::newRow("pseudo-terminal") << "<pty>" << true << "Connected to <pty>";
  QTest::newRow("missing device") << "/dev/wickflash-no-such-port" << false
                                  << "Cannot open /dev/wickflash-no-such-port: No such file";
  QTest::newRow("empty field") << "" << false << "type or choose a port";
  // The whole field is the port's name: COM10 is the tenth port, not COM1.
  QTest::newRow("COM10") << "COM10" << false << "Cannot open COM10 (/dev/ttyS9): ";
}

void WindowTest::connectOnAPtyAndOnAMissingDevice() {
  QFETCH(QString, port);
  QFETCH(bool, loadEnabled);
  QFETCH(QString, says);
  sim::BoxPty pty;
  QVERIFY2(pty.ok(), pty.error().c_str());
  port.replace("<pty>", QString::fromStdString(pty.slavePath()));
  says.replace("<pty>", QString::fromStdString(pty.slavePath()));

  CTavLoaderDlg dlg;
  auto* load = ById(dlg, IDC_LOAD);
  auto* upgrade = ById(dlg, IDC_UPGRADE);
  // Upgrade enabled beforehand shows that every Connect disables it.
  dlg.SetFileChooser([](const QString&) { return std::nullopt; });
  upgrade->setEnabled(true);
  Connect(dlg, port.toStdString());
  QTRY_VERIFY(dlg.StatusText().contains(says));
  QCOMPARE(load->isEnabled(), loadEnabled);
  QVERIFY(!upgrade->isEnabled());
  QVERIFY(upgrade->isHidden());
  for (int id : {IDC_CONNECT, IDC_PORT, IDC_RADIO_FIRMWARE, IDC_RADIO_MODULE}) {
    QVERIFY(ById(dlg, id)->isEnabled());
  }
  if (loadEnabled) {
    // The client's own port line reaches the log.
    QTRY_VERIFY(dlg.LogText().contains(QStringLiteral(" - Open Ok!")));
  } else if (!port.isEmpty()) {
    QTRY_VERIFY(dlg.LogText().contains(QStringLiteral(" - Open Failed..")));
  }
}

void WindowTest::aSecondConnectKeepsTheFirstPort() {
  sim::BoxPty first;
  sim::BoxPty second;
  QVERIFY(first.ok() && second.ok());
  QTemporaryDir dir;
  std::string image = WriteFile(dir, "a.tav", Bytes(100, 0x11));
  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return image; });
  Connect(dlg, first.slavePath());
  QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  Connect(dlg, second.slavePath());
  QTRY_VERIFY(dlg.StatusText().startsWith(
      QStringLiteral("Still connected to %1;").arg(QString::fromStdString(first.slavePath()))));
  QVERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  QVERIFY(!ById(dlg, IDC_UPGRADE)->isEnabled());
  // The start request goes to the first port.
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  QCOMPARE(ReadLine(first.master(), 24, 3000).size(), size_t{24});
  QCOMPARE(ReadLine(second.master(), 1, 300).size(), size_t{0});
}

void WindowTest::eachModeGivesItsFilterAndItsStartCode_data() {
  QTest::addColumn<int>("radio");
  QTest::addColumn<int>("mode");
  QTest::addColumn<QString>("filter");
  QTest::addColumn<int>("code");
  QTest::newRow("firmware") << IDC_RADIO_FIRMWARE << 1 << "upgrade File (*.tav)" << 0x1006;
  QTest::newRow("boot loader") << IDC_RADIO_BOOT << 2 << "upgrade File (*.tav)" << 0x1004;
  // The third button selects mode 4 and the fourth mode 3.
  QTest::newRow("channel data") << IDC_RADIO_CHANNEL << 4 << "user data File (*.tvu)" << 0x1042;
  QTest::newRow("module") << IDC_RADIO_MODULE << 3 << "user data File (*.exx)" << 0x1040;
}

void WindowTest::eachModeGivesItsFilterAndItsStartCode() {
  QFETCH(int, radio);
  QFETCH(int, mode);
  QFETCH(QString, filter);
  QFETCH(int, code);
  sim::BoxPty pty;
  QVERIFY(pty.ok());
  QTemporaryDir dir;
  const Bytes content(12345, 0x5A);
  std::string image = WriteFile(dir, "image.bin", content);
  CTavLoaderDlg dlg;
  QString offered;
  dlg.SetFileChooser([&](const QString& f) {
    offered = f;
    return image;
  });
  Connect(dlg, pty.slavePath());
  QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  // Another mode first: the last click counts.
  ById<QRadioButton>(dlg, radio == IDC_RADIO_MODULE ? IDC_RADIO_BOOT : IDC_RADIO_MODULE)->click();
  ById<QRadioButton>(dlg, radio)->click();
  QCOMPARE(dlg.Mode(), mode);
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  QCOMPARE(offered, filter);

  Bytes wire = ReadLine(pty.master(), 24, 3000);
  QCOMPARE(wire.size(), size_t{24});
  QCOMPARE(int(wire[2] | wire[3] << 8), code);
  uint32_t size = wire[16] | wire[17] << 8 | wire[18] << 16 | uint32_t{wire[19]} << 24;
  QCOMPARE(size, uint32_t(content.size()));
  QVERIFY(ById(dlg, IDC_UPGRADE)->isEnabled());
  QCOMPARE(ById<QLineEdit>(dlg, IDC_PATH)->text(), QString::fromStdString(image));
  QTRY_COMPARE(ById<QProgressBar>(dlg, IDC_PROGRESS)->maximum(), int(content.size()));
  QTRY_VERIFY(dlg.StatusText().contains(QStringLiteral("Waiting for the box")));
}

void WindowTest::cancellingTheChooserOnlyDisablesUpgrade() {
  QTemporaryDir dir;
  std::string image = WriteFile(dir, "first.tvu", Bytes(5000, 1));
  std::optional<std::string> choice = image;
  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return choice; });
  ById<QRadioButton>(dlg, IDC_RADIO_CHANNEL)->click();
  dlg.OnLoad();
  auto* bar = ById<QProgressBar>(dlg, IDC_PROGRESS);
  QTRY_COMPARE(bar->maximum(), 5000);
  QVERIFY(ById(dlg, IDC_UPGRADE)->isEnabled());
  const QString status = dlg.StatusText();
  const bool loadWas = ById(dlg, IDC_LOAD)->isEnabled();

  choice.reset();
  dlg.OnLoad();
  QTest::qWait(100);
  QVERIFY(!ById(dlg, IDC_UPGRADE)->isEnabled());
  QCOMPARE(ById<QLineEdit>(dlg, IDC_PATH)->text(), QString::fromStdString(image));
  QCOMPARE(bar->maximum(), 5000);
  QCOMPARE(bar->value(), 0);
  QCOMPARE(dlg.Mode(), 4);
  QCOMPARE(ById(dlg, IDC_LOAD)->isEnabled(), loadWas);
  QCOMPARE(dlg.StatusText(), status);
}

void WindowTest::aSecondLoadDuringARunStartsANewOneAtOnce() {
  sim::BoxPty pty;
  QVERIFY(pty.ok());
  QTemporaryDir dir;
  std::string choice = WriteFile(dir, "a.exx", Bytes(3 * kBlock, 1));
  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return choice; });
  Connect(dlg, pty.slavePath());
  QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  ById<QRadioButton>(dlg, IDC_RADIO_MODULE)->click();
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  Bytes first = ReadLine(pty.master(), 24, 3000);
  QCOMPARE(first.size(), size_t{24});
  // The mode changed during the run counts only for the next Load.
  ById<QRadioButton>(dlg, IDC_RADIO_CHANNEL)->click();
  choice = WriteFile(dir, "b.tvu", Bytes(777, 2));
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  Bytes second = ReadLine(pty.master(), 24, 3000);
  QCOMPARE(second.size(), size_t{24});
  QCOMPARE(int(first[2] | first[3] << 8), 0x1040);
  QCOMPARE(int(second[2] | second[3] << 8), 0x1042);
  QCOMPARE(int(second[16] | second[17] << 8), 777);
  auto* bar = ById<QProgressBar>(dlg, IDC_PROGRESS);
  QTRY_COMPARE(bar->maximum(), 777);
  QCOMPARE(bar->value(), 0);
}

void WindowTest::aFileThatCannotBeReadStartsNothingAndSaysWhy() {
  QTemporaryDir dir;
  std::string first = WriteFile(dir, "first.tav", Bytes(3000, 1));
  std::string missing = dir.path().toStdString() + "/gone.tav";
  std::string choice = first;
  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return choice; });
  dlg.OnLoad();
  auto* bar = ById<QProgressBar>(dlg, IDC_PROGRESS);
  QTRY_COMPARE(bar->maximum(), 3000);
  // Not connected: the run is not started, and the window says so.
  QTRY_VERIFY(dlg.StatusText().contains(QStringLiteral("the port is not open")));

  choice = missing;
  dlg.OnLoad();
  QTRY_VERIFY(dlg.StatusText().contains(
      QString::fromStdString("No upgrade started: " + missing + ": No such file or directory")));
  QCOMPARE(ById<QLineEdit>(dlg, IDC_PATH)->text(), QString::fromStdString(missing));
  QVERIFY(ById(dlg, IDC_UPGRADE)->isEnabled());
  QCOMPARE(bar->maximum(), 3000);
}

void WindowTest::aWholeRunAgainstTheSimulatedBoxKeepsTheWindowLive() {
  sim::BoxPty pty;
  QVERIFY(pty.ok());
  // Two blocks of channel data: one with data, one blank.
  Bytes content(2 * kBlock, 0xFF);
  for (int i = 0; i < kBlock; ++i) {
    content[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  QTemporaryDir dir;
  std::string image = WriteFile(dir, "channels.tvu", content);

  sim::BoxResult box;
  std::stop_source stopBox;
  sim::BoxOptions options;
  options.answerTimeoutMs = 10000;
  std::thread boxThread([&] { box = sim::RunBox(pty.master(), options, stopBox.get_token()); });

  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return image; });
  dlg.show();
  auto* bar = ById<QProgressBar>(dlg, IDC_PROGRESS);
  int highest = 0;
  connect(bar, &QProgressBar::valueChanged, [&](int v) { highest = std::max(highest, v); });
  int ticks = 0;
  std::chrono::steady_clock::duration longestGap{};
  auto lastTick = std::chrono::steady_clock::now();
  QTimer ticker;
  connect(&ticker, &QTimer::timeout, [&] {
    ++ticks;
    auto now = std::chrono::steady_clock::now();
    longestGap = std::max(longestGap, now - lastTick);
    lastTick = now;
  });

  Connect(dlg, pty.slavePath());
  QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  ById<QRadioButton>(dlg, IDC_RADIO_CHANNEL)->click();
  auto started = std::chrono::steady_clock::now();
  lastTick = started;
  ticker.start(20);
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  // The About box opens and closes while the block is being written; the run goes on meanwhile.
  bool aboutOpened = false;
  QTimer::singleShot(400, &dlg, [&] {
    OnNextModal([&](QWidget& about) {
      aboutOpened = about.objectName() == QString::number(IDD_ABOUT);
      QTest::qWait(300);
    });
    dlg.OnSysCommand(ID_ABOUT_CMD, 0);
  });
  QTRY_VERIFY_WITH_TIMEOUT(dlg.StatusText().startsWith(QStringLiteral("Upgrade done")), 30000);
  ticker.stop();
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count();
  boxThread.join();

  QVERIFY2(box.ok, box.failure.c_str());
  QCOMPARE(box.blocks, 2);
  QCOMPARE(box.blanks, 1);
  QVERIFY(box.image == content);
  QVERIFY(aboutOpened);
  QTRY_COMPARE(bar->value(), 0);
  QCOMPARE(bar->maximum(), int(content.size()));
  QVERIFY(highest >= kBlock);
  // A 20 ms timer on the window's thread keeps firing while the block (over a second) goes out.
  const auto gapMs = std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count();
  QVERIFY2(elapsed > 1000 && ticks >= elapsed / 20 / 2 && gapMs < 400,
           qPrintable(QStringLiteral("%1 ticks in %2 ms, longest gap %3 ms")
                          .arg(ticks)
                          .arg(elapsed)
                          .arg(gapMs)));
  const QString log = dlg.LogText();
  QVERIFY(log.contains(QStringLiteral("Block 1 of 2 sent (CRC 0x")));
  QVERIFY(log.contains(QStringLiteral("Block 2 of 2 is blank: skipped.")));
  QVERIFY(dlg.StatusText().contains(QStringLiteral("0x%1")
                                        .arg(box.receivedCrc, 8, 16, QLatin1Char('0'))
                                        .toUpper()
                                        .replace("0X", "0x")));
}

void WindowTest::aRefusedImageIsShownInWords() {
  sim::BoxPty pty;
  QVERIFY(pty.ok());
  // A head-and-trailer image whose stored CRC is wrong.
  Bytes file(64 + kBlock, 0x42);
  uint32_t computed = Crc32(file.data(), static_cast<uint32_t>(file.size()));
  for (int i = 0; i < 4; ++i) {
    file.push_back(static_cast<uint8_t>(0x10 * (i + 1)));
  }
  QTemporaryDir dir;
  std::string image = WriteFile(dir, "bad.tav", file);
  std::stop_source stopBox;
  sim::BoxOptions options;
  options.answerTimeoutMs = 1500;
  std::thread boxThread([&] { sim::RunBox(pty.master(), options, stopBox.get_token()); });

  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return image; });
  Connect(dlg, pty.slavePath());
  QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  ById<QRadioButton>(dlg, IDC_RADIO_BOOT)->click();
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  QString expected = QStringLiteral("image CRC mismatch: stored 0x40302010, computed 0x%1")
                         .arg(computed, 8, 16, QLatin1Char('0'));
  QTRY_VERIFY_WITH_TIMEOUT(dlg.StatusText().contains(expected), 10000);
  QVERIFY(dlg.StatusText().startsWith(QStringLiteral("Upgrade stopped")));
  stopBox.request_stop();
  boxThread.join();
}

void WindowTest::aSilentBoxAndALostLineAreShownInWords() {
  sim::BoxPty pty;
  QVERIFY(pty.ok());
  QTemporaryDir dir;
  std::string image = WriteFile(dir, "quiet.tvu", Bytes(kBlock, 1));
  std::stop_source stopBox;
  sim::BoxOptions options;
  options.silent = true;
  options.answerTimeoutMs = 0;
  std::thread boxThread([&] { sim::RunBox(pty.master(), options, stopBox.get_token()); });

  CTavLoaderDlg dlg;
  dlg.SetFileChooser([&](const QString&) { return image; });
  dlg.SetSilenceLimit(1000);
  Connect(dlg, pty.slavePath());
  QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
  ById<QPushButton>(dlg, IDC_LOAD)->click();
  QTRY_VERIFY(dlg.StatusText().contains(QStringLiteral("Waiting for the box")));
  QTRY_COMPARE_WITH_TIMEOUT(
      dlg.StatusText(),
      QStringLiteral("The box has sent nothing for 1 s. Check the cable and that the box waits for "
                     "an upgrade."),
      5000);
  stopBox.request_stop();
  boxThread.join();
  pty.Vanish();
  QTRY_VERIFY_WITH_TIMEOUT(
      dlg.StatusText().startsWith(
          QStringLiteral("The line to %1 was lost: ").arg(QString::fromStdString(pty.slavePath()))),
      5000);
}

void WindowTest::aLineUnpluggedMidBlockIsShownAndTheWindowStaysUsable() {
  const int threadsBefore = ThreadCount();
  QTemporaryDir dir;
  Bytes content(3 * kBlock);
  for (size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<uint8_t>(i % 251);
  }
  std::string image = WriteFile(dir, "channels.tvu", content);
  {
    CTavLoaderDlg dlg;
    dlg.SetFileChooser([&](const QString&) { return image; });
    dlg.show();

    // The first box's line goes halfway through the first block.
    sim::BoxPty first;
    QVERIFY(first.ok());
    sim::BoxOptions unplug;
    unplug.vanishMidBlock = 0;
    unplug.answerTimeoutMs = 10000;
    std::thread firstBox([&] { sim::RunBox(first.master(), unplug); });
    Connect(dlg, first.slavePath());
    QTRY_VERIFY(ById(dlg, IDC_LOAD)->isEnabled());
    ById<QRadioButton>(dlg, IDC_RADIO_CHANNEL)->click();
    ById<QPushButton>(dlg, IDC_LOAD)->click();
    QTRY_VERIFY_WITH_TIMEOUT(
        dlg.StatusText().startsWith(QStringLiteral("The line to %1 was lost: ")
                                        .arg(QString::fromStdString(first.slavePath()))),
        10000);
    firstBox.join();

    // The operator plugs in another box and goes on, without restarting the program.
    sim::BoxPty second;
    QVERIFY(second.ok());
    sim::BoxResult box;
    sim::BoxOptions options;
    options.answerTimeoutMs = 10000;
    std::thread secondBox([&] { box = sim::RunBox(second.master(), options); });
    Connect(dlg, second.slavePath());
    QTRY_VERIFY_WITH_TIMEOUT(
        dlg.StatusText().startsWith(
            QStringLiteral("Connected to %1").arg(QString::fromStdString(second.slavePath()))),
        5000);
    ById<QPushButton>(dlg, IDC_LOAD)->click();
    QTRY_VERIFY_WITH_TIMEOUT(dlg.StatusText().startsWith(QStringLiteral("Upgrade done")), 30000);
    secondBox.join();
    QVERIFY2(box.ok, box.failure.c_str());
    QVERIFY(box.image == content);
  }
  // The window's protocol thread and receive threads are gone with it.
  QTRY_COMPARE_WITH_TIMEOUT(ThreadCount(), threadsBefore, 5000);
}

void WindowTest::theAboutBoxOpensFromTheMenuF1AndSystemCommands() {
  CTavLoaderDlg dlg;
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  int opened = 0;
  auto expectAbout = [&](QWidget& w) {
    if (w.objectName() != QString::number(IDD_ABOUT)) {
      return;
    }
    ++opened;
    QCOMPARE(w.windowTitle(), QStringLiteral("About"));
    QVERIFY(w.findChild<QLabel*>(QStringLiteral("version"))->text() == "Version 1.2");
    auto* ok = w.findChild<QPushButton*>(QString::number(IDOK));
    QVERIFY(ok != nullptr && ok->text() == "OK" && ok->isDefault());
  };

  // System commands: the low four bits do not matter, the rest does.
  const std::pair<unsigned, bool> commands[] = {
      {0x0010, true}, {0x0013, true}, {0x001F, true}, {0x0020, false}, {0x0000, false}};
  for (auto [id, opens] : commands) {
    opened = 0;
    OnNextModal(expectAbout, 300);
    dlg.OnSysCommand(id, 0);
    QTest::qWait(opens ? 0 : 350);
    QVERIFY2(opened == (opens ? 1 : 0), qPrintable(QString::number(id, 16)));
  }

  opened = 0;
  OnNextModal(expectAbout);
  QTest::keyClick(&dlg, Qt::Key_F1);
  QCOMPARE(opened, 1);

  // The context menu: pick its About item as the operator would.
  opened = 0;
  QString itemText;
  QTimer::singleShot(50, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu != nullptr);
    for (QAction* a : menu->actions()) {
      if (a->data().toUInt() == ID_ABOUT_CMD) {
        itemText = a->text();
        OnNextModal(expectAbout);
        menu->setActiveAction(a);
        QTest::keyClick(menu, Qt::Key_Return);
      }
    }
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                          dlg.mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(&dlg, &event);
  QCOMPARE(itemText, QStringLiteral("&About ..."));
  QCOMPARE(opened, 1);
  QVERIFY(dlg.isVisible());
}

void WindowTest::chrome() {
  struct Origin {
    int cw, ch, iw, ih, x, y;
  };
  // Halves truncate toward zero, so narrow client areas give 0 or negative positions.
  const Origin origins[] = {
      {100, 50, 32, 32, 34, 9},  {33, 32, 32, 32, 1, 0}, {30, 30, 32, 32, 0, 0},
      {20, 10, 32, 32, -5, -10}, {0, 0, 16, 16, -7, -7},
  };
  for (const Origin& o : origins) {
    QCOMPARE(IconOrigin(o.cw, o.ch, o.iw, o.ih), QPoint(o.x, o.y));
  }

  QCOMPARE(LoadString(IDS_ABOUT_ITEM), QStringLiteral("&About ..."));
  QMenu menu;
  QCOMPARE(AddAboutItem(menu, QString()), nullptr);
  QVERIFY(menu.actions().isEmpty());
  QAction* item = AddAboutItem(menu, LoadString(IDS_ABOUT_ITEM));
  QCOMPARE(menu.actions().size(), 2);
  QVERIFY(menu.actions()[0]->isSeparator());
  QCOMPARE(item->data().toUInt(), ID_ABOUT_CMD);

  QIcon icon = AppIcon();
  QCOMPARE(icon.availableSizes(), (QList<QSize>{QSize(32, 32), QSize(16, 16)}));
}

void WindowTest::statusTexts() {
  QCOMPARE(QString(FileFilterForMode(1)), QStringLiteral("upgrade File (*.tav)|*.tav|"));
  QCOMPARE(QString(FileFilterForMode(2)), QStringLiteral("upgrade File (*.tav)|*.tav|"));
  QCOMPARE(QString(FileFilterForMode(3)), QStringLiteral("user data File (*.exx)|*.exx|"));
  QCOMPARE(QString(FileFilterForMode(4)), QStringLiteral("user data File (*.tvu)|*.tvu|"));
  QCOMPARE(QString(FileFilterForMode(0)), QStringLiteral("upgrade File (*.tav)|*.tav|"));
  QCOMPARE(ChooserFilter("Images|*.img|"), std::string("Images (*.img)"));

  const std::string denied = ConnectFailedText("COM3", "/dev/ttyS2", EACCES);
  QVERIFY(denied.starts_with("Cannot open COM3 (/dev/ttyS2): Permission denied."));
  QVERIFY(denied.find("dialout") != std::string::npos);
  const std::string busy = ConnectFailedText("/dev/ttyUSB0", "/dev/ttyUSB0", EBUSY);
  QVERIFY(busy.starts_with("Cannot open /dev/ttyUSB0: Device or resource busy."));
  QVERIFY(busy.find("in use") != std::string::npos);
  QVERIFY(LineStateText("COM1", EIO).find("was lost: Input/output error") != std::string::npos);

  EngineEvent firmware{.kind = EngineEvent::kBlockSent,
                       .offset = 0x20000 + 2 * kBlock,
                       .imageSize = 0x1A0000,
                       .firstOffset = 0x20000,
                       .crc = 0xDEADBEEF};
  QCOMPARE(EventText(firmware), std::string("Block 3 of 192 sent (CRC 0xDEADBEEF)."));
  firmware.resend = true;
  QCOMPARE(EventText(firmware), std::string("Block 3 of 192 sent again (CRC 0xDEADBEEF)."));
  QCOMPARE(EventText({.kind = EngineEvent::kUpgradeDone, .crc = 0x1234}),
           std::string("Upgrade done: the final CRC 0x00001234 was sent to the box."));
}

}  // namespace wick::ui

QTEST_MAIN(wick::ui::WindowTest)
#include "window_test.moc"
