// wickflash: the upgrade window, or registration with the desktop when started with a
// registration switch.
#include <QApplication>
#include <QTimer>
#include <cstdlib>

#include "app/tavloader_app.h"
#include "ui/tavloader_dlg.h"

namespace {

// WICKFLASH_SCREENSHOT=file.png: once shown, the window writes a picture of itself there and
// closes (scripts/screenshot).
void ArrangeScreenshot(wick::ui::CTavLoaderDlg& dlg) {
  const char* file = std::getenv("WICKFLASH_SCREENSHOT");
  if (file == nullptr || *file == '\0') {
    return;
  }
  QString path = QString::fromLocal8Bit(file);
  QTimer::singleShot(800, &dlg, [&dlg, path] {
    bool saved = dlg.grab().save(path);
    dlg.done(saved ? 0 : 1);
  });
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  wick::app::CTavLoaderApp app(
      args, wick::app::ProgramPath(args.empty() ? std::string("wickflash") : args[0]),
      [&argc, argv] {
        QApplication qt(argc, argv);
        QApplication::setApplicationName(QStringLiteral("wickflash"));
        QApplication::setApplicationVersion(QStringLiteral("1.2.0"));
        wick::ui::CTavLoaderDlg dlg;
        ArrangeScreenshot(dlg);
        dlg.exec();
      },
      wick::app::WaitForQuitSignal);
  return app.Run();
}
