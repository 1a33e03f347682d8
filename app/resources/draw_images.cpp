// Draws the program's pictures: the banner across the top of the window, the application
// icon as PNG files from 16 to 256 pixels, and its four smallest sizes as a Windows icon
// file with 256-colour images. The results are committed beside this file; run it again
// after a change to the drawing:
//
//   QT_QPA_PLATFORM=offscreen larkfield_draw_images app/resources

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QColor kNavy(0x17, 0x3a, 0x6b);
const QColor kBlue(0x2f, 0x6f, 0xc4);
const QColor kSky(0x8c, 0xc4, 0xf2);
const QColor kAmber(0xf2, 0xa3, 0x22);

// A closed envelope: body with the flap's two lines.
void DrawEnvelope(QPainter& p, const QRectF& r, const QColor& paper, const QColor& line,
                  qreal pen) {
  p.setPen(QPen(line, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(paper);
  p.drawRoundedRect(r, pen, pen);
  QPainterPath flap;
  flap.moveTo(r.left() + pen, r.top() + pen);
  flap.lineTo(r.center().x(), r.top() + r.height() * 0.58);
  flap.lineTo(r.right() - pen, r.top() + pen);
  p.setBrush(Qt::NoBrush);
  p.drawPath(flap);
}

// An arrow pointing right, its shaft centred on `y`.
void DrawArrow(QPainter& p, qreal x0, qreal x1, qreal y, qreal thickness, const QColor& c) {
  const qreal head = thickness * 1.6;
  QPainterPath a;
  a.moveTo(x0, y - thickness / 2);
  a.lineTo(x1 - head, y - thickness / 2);
  a.lineTo(x1 - head, y - head);
  a.lineTo(x1, y);
  a.lineTo(x1 - head, y + head);
  a.lineTo(x1 - head, y + thickness / 2);
  a.lineTo(x0, y + thickness / 2);
  a.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(a);
}

// A box of folders: the single PST file the messages go into.
void DrawStore(QPainter& p, const QRectF& r, qreal pen) {
  p.setPen(QPen(kNavy, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, kAmber.lighter(125));
  g.setColorAt(1, kAmber);
  p.setBrush(g);
  p.drawRoundedRect(r, pen * 1.5, pen * 1.5);
  p.setBrush(Qt::NoBrush);
  for (int i = 1; i < 3; ++i) {
    const qreal y = r.top() + r.height() * i / 3.0;
    p.drawLine(QPointF(r.left(), y), QPointF(r.right(), y));
    p.drawLine(QPointF(r.center().x() - r.width() * 0.15, y - r.height() / 6.0),
               QPointF(r.center().x() + r.width() * 0.15, y - r.height() / 6.0));
  }
  p.drawLine(QPointF(r.center().x() - r.width() * 0.15, r.bottom() - r.height() / 6.0),
             QPointF(r.center().x() + r.width() * 0.15, r.bottom() - r.height() / 6.0));
}

QImage Icon(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const qreal pen = std::max(1.0, s / 24.0);
  // Tile.
  QLinearGradient tile(0, 0, 0, s);
  tile.setColorAt(0, kBlue);
  tile.setColorAt(1, kNavy);
  p.setPen(Qt::NoPen);
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(0.5, 0.5, s - 1, s - 1), s * 0.18, s * 0.18);
  // Envelope at the upper left, store at the lower right, the arrow between them.
  DrawEnvelope(p, QRectF(s * 0.10, s * 0.16, s * 0.56, s * 0.40), Qt::white, kNavy, pen);
  DrawStore(p, QRectF(s * 0.52, s * 0.50, s * 0.38, s * 0.38), pen);
  if (size >= 24) DrawArrow(p, s * 0.16, s * 0.50, s * 0.72, s * 0.09, kSky);
  p.end();
  return img.convertToFormat(QImage::Format_ARGB32);
}

QImage Banner() {
  const int w = 767;
  const int h = 142;
  QImage img(w, h, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QLinearGradient sky(0, 0, w, h);
  sky.setColorAt(0, kNavy);
  sky.setColorAt(0.7, kBlue);
  sky.setColorAt(1, kBlue.lighter(120));
  p.fillRect(img.rect(), sky);
  // Soft rolling fields along the bottom.
  for (int i = 0; i < 3; ++i) {
    QPainterPath hill;
    const qreal base = h - 22 + i * 9;
    hill.moveTo(0, h);
    hill.lineTo(0, base);
    hill.cubicTo(w * 0.25, base - 18 + i * 4, w * 0.55, base + 14, w, base - 10 + i * 3);
    hill.lineTo(w, h);
    hill.closeSubpath();
    QColor c = QColor(0x3d, 0x8f, 0x5a).darker(100 + i * 18);
    c.setAlpha(200);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(hill);
  }
  QRadialGradient glow(QPointF(w - 150, 40), 160);
  glow.setColorAt(0, QColor(255, 255, 255, 70));
  glow.setColorAt(1, QColor(255, 255, 255, 0));
  p.fillRect(img.rect(), glow);

  // Title and line below it.
  QFont title(QStringLiteral("DejaVu Sans"));
  title.setPixelSize(34);
  title.setBold(true);
  p.setFont(title);
  p.setPen(QColor(0, 0, 0, 90));
  p.drawText(QPointF(26, 60), QStringLiteral("Larkfield Mail Porter"));
  p.setPen(Qt::white);
  p.drawText(QPointF(24, 58), QStringLiteral("Larkfield Mail Porter"));
  QFont sub(QStringLiteral("DejaVu Sans"));
  sub.setPixelSize(15);
  p.setFont(sub);
  p.setPen(kSky.lighter(115));
  p.drawText(QPointF(26, 86), QStringLiteral("Message files (.eml, .emlx) into one new PST file"));

  // Envelopes flying into the store.
  const qreal pen = 2.0;
  DrawEnvelope(p, QRectF(470, 22, 46, 32), Qt::white, kNavy, pen);
  DrawEnvelope(p, QRectF(500, 66, 40, 28), QColor(0xf4, 0xf8, 0xff), kNavy, pen);
  DrawEnvelope(p, QRectF(440, 78, 34, 24), QColor(0xe8, 0xf1, 0xff), kNavy, pen);
  DrawArrow(p, 556, 628, 62, 10, kAmber.lighter(110));
  DrawStore(p, QRectF(646, 22, 82, 82), pen);
  p.end();
  return img;
}

// One image of a Windows icon file: a 256-colour bitmap with a 1-bit transparency mask.
QByteArray IconBitmap(const QImage& argb) {
  const int w = argb.width();
  const int h = argb.height();
  QImage flat(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const QRgb px = argb.pixel(x, y);
      flat.setPixel(x, y, qAlpha(px) < 128 ? qRgb(0, 0, 0) : (px | 0xFF000000u));
    }
  }
  const QImage indexed = flat.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
  QList<QRgb> table = indexed.colorTable();
  table.resize(256, qRgb(0, 0, 0));

  QByteArray out;
  auto put16 = [&out](quint16 v) { out.append(reinterpret_cast<const char*>(&v), 2); };
  auto put32 = [&out](quint32 v) { out.append(reinterpret_cast<const char*>(&v), 4); };
  const int xor_stride = (w + 3) / 4 * 4;
  const int and_stride = ((w + 31) / 32) * 4;
  put32(40);
  put32(static_cast<quint32>(w));
  put32(static_cast<quint32>(h * 2));  // colour bitmap and mask together
  put16(1);
  put16(8);
  put32(0);
  put32(static_cast<quint32>((xor_stride + and_stride) * h));
  put32(0);
  put32(0);
  put32(256);
  put32(0);
  for (QRgb c : table) {
    out.append(static_cast<char>(qBlue(c)));
    out.append(static_cast<char>(qGreen(c)));
    out.append(static_cast<char>(qRed(c)));
    out.append('\0');
  }
  for (int y = h - 1; y >= 0; --y) {  // bottom-up
    QByteArray row(xor_stride, '\0');
    for (int x = 0; x < w; ++x) row[x] = static_cast<char>(indexed.pixelIndex(x, y));
    out.append(row);
  }
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(and_stride, '\0');
    for (int x = 0; x < w; ++x) {
      if (qAlpha(argb.pixel(x, y)) < 128)
        row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
    }
    out.append(row);
  }
  return out;
}

QByteArray IconFile(const std::vector<QImage>& images) {
  static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the icon file is written little-endian");
  QByteArray head;
  QByteArray body;
  auto put16 = [&head](quint16 v) { head.append(reinterpret_cast<const char*>(&v), 2); };
  auto put32 = [&head](quint32 v) { head.append(reinterpret_cast<const char*>(&v), 4); };
  put16(0);
  put16(1);  // icon
  put16(static_cast<quint16>(images.size()));
  const quint32 first = 6 + 16 * static_cast<quint32>(images.size());
  for (const QImage& img : images) {
    const QByteArray bmp = IconBitmap(img);
    head.append(static_cast<char>(img.width()));
    head.append(static_cast<char>(img.height()));
    head.append('\0');  // 256 colours
    head.append('\0');
    put16(1);
    put16(8);
    put32(static_cast<quint32>(bmp.size()));
    put32(first + static_cast<quint32>(body.size()));
    body.append(bmp);
  }
  return head + body;
}

bool Save(const QImage& img, const QString& path) {
  if (img.save(path, "PNG")) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  bool ok = Save(Banner(), out.filePath(QStringLiteral("banner.png")));
  std::vector<QImage> icons;
  for (int size : {16, 24, 32, 48}) {
    icons.push_back(Icon(size));
    ok = Save(icons.back(), out.filePath(QStringLiteral("icon-%1.png").arg(size))) && ok;
  }
  // Larger sizes for the desktop's icon theme; the window and the Windows icon keep four.
  for (int size : {64, 128, 256}) {
    ok = Save(Icon(size), out.filePath(QStringLiteral("icon-%1.png").arg(size))) && ok;
  }
  QFile ico(out.filePath(QStringLiteral("larkfield-porter.ico")));
  if (!ico.open(QIODevice::WriteOnly) || ico.write(IconFile(icons)) < 0) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(ico.fileName()));
    ok = false;
  }
  return ok ? 0 : 1;
}
