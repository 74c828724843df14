// Draws the program's icon at 32 and 16 pixels in the 16 colours of the classic palette and
// writes the PNGs beside this file (build target wickicons, not built by default): a set-top box
// with a green light, and an arrow coming down into it.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPolygon>
#include <QString>
#include <cstdio>

namespace {

const QRgb kPalette[16] = {0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080,
                           0xFF008080, 0xFFC0C0C0, 0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00,
                           0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};

QImage Draw(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  const double s = size / 32.0;
  auto r = [s](double x, double y, double w, double h) {
    return QRect(int(x * s), int(y * s), std::max(1, int(w * s)), std::max(1, int(h * s)));
  };
  // The box: a dark body on a lighter base, a display and a light.
  p.fillRect(r(1, 18, 30, 11), QColor(kPalette[0]));
  p.fillRect(r(2, 19, 28, 9), QColor(kPalette[8]));
  p.fillRect(r(2, 19, 28, 2), QColor(kPalette[7]));
  p.fillRect(r(5, 23, 12, 3), QColor(kPalette[0]));
  p.fillRect(r(6, 24, 2, 1), QColor(kPalette[10]));
  p.fillRect(r(23, 23, 4, 3), QColor(kPalette[10]));
  p.fillRect(r(3, 29, 4, 2), QColor(kPalette[0]));
  p.fillRect(r(25, 29, 4, 2), QColor(kPalette[0]));
  // The arrow: the new software going down into the box.
  QPolygon arrow;
  arrow << QPoint(int(12 * s), 0) << QPoint(int(20 * s), 0) << QPoint(int(20 * s), int(7 * s))
        << QPoint(int(26 * s), int(7 * s)) << QPoint(int(16 * s), int(17 * s))
        << QPoint(int(6 * s), int(7 * s)) << QPoint(int(12 * s), int(7 * s));
  p.setPen(QColor(kPalette[4]));
  p.setBrush(QColor(kPalette[11]));
  p.drawPolygon(arrow);
  p.end();
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  for (int size : {32, 16}) {
    QString file = QStringLiteral("%1/wickflash-%2.png").arg(dir).arg(size);
    if (!Draw(size).save(file)) {
      std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
