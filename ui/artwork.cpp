#include "ui/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <functional>

namespace dwnfrw {

namespace {

// Every icon is drawn on a 16 x 16 grid and rendered at the sizes a toolbar
// asks for, so the strokes stay crisp on high-density screens too.
constexpr int kIconGrid = 16;
constexpr int kIconSizes[] = {16, 24, 32, 48};
// The logo is rendered at twice its logical size for high-density screens.
constexpr qreal kLogoPixelRatio = 2.0;

const QColor kInk(0x2b, 0x3a, 0x4a);
const QColor kBrandBlue(0x1f, 0x5f, 0xa8);
const QColor kBrandTeal(0x1a, 0x9c, 0x9a);

using Drawing = std::function<void(QPainter&)>;

QPixmap renderIcon(int size, const Drawing& draw) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(qreal(size) / kIconGrid, qreal(size) / kIconGrid);
    draw(painter);
    return pixmap;
}

QPen outline(const QColor& color, qreal width = 1.0) {
    QPen pen(color, width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

// A folder with its lid lifted: choose a package.
void drawOpen(QPainter& p) {
    QPainterPath back;
    back.moveTo(1.5, 3.5);
    back.lineTo(6.0, 3.5);
    back.lineTo(7.5, 5.0);
    back.lineTo(13.5, 5.0);
    back.lineTo(13.5, 13.5);
    back.lineTo(1.5, 13.5);
    back.closeSubpath();
    p.setPen(outline(QColor(0x9a, 0x6b, 0x12)));
    p.setBrush(QColor(0xe8, 0xb4, 0x3c));
    p.drawPath(back);

    QPainterPath lid;
    lid.moveTo(3.5, 7.5);
    lid.lineTo(15.0, 7.5);
    lid.lineTo(13.5, 13.5);
    lid.lineTo(1.5, 13.5);
    lid.closeSubpath();
    p.setBrush(QColor(0xf7, 0xd3, 0x6b));
    p.drawPath(lid);
}

// A round "i": read the package's description.
void drawInfo(QPainter& p) {
    p.setPen(outline(kBrandBlue.darker(130)));
    p.setBrush(kBrandBlue);
    p.drawEllipse(QRectF(1.0, 1.0, 14.0, 14.0));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(7.0, 3.5, 2.0, 2.0));
    p.drawRoundedRect(QRectF(7.0, 6.8, 2.0, 6.0), 0.6, 0.6);
}

// An octagon with a bar: halt the running update.
void drawStop(QPainter& p) {
    QPainterPath octagon;
    const qreal a = 4.5;
    const qreal b = 11.5;
    octagon.moveTo(a, 1.0);
    octagon.lineTo(b, 1.0);
    octagon.lineTo(15.0, a);
    octagon.lineTo(15.0, b);
    octagon.lineTo(b, 15.0);
    octagon.lineTo(a, 15.0);
    octagon.lineTo(1.0, b);
    octagon.lineTo(1.0, a);
    octagon.closeSubpath();
    p.setPen(outline(QColor(0x8c, 0x16, 0x16)));
    p.setBrush(QColor(0xd9, 0x30, 0x30));
    p.drawPath(octagon);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(4.0, 7.0, 8.0, 2.0), 0.6, 0.6);
}

// An arrow going down into a chip: write the firmware into the controller.
void drawDownload(QPainter& p) {
    p.setPen(outline(kInk));
    p.setBrush(QColor(0x5a, 0x67, 0x75));
    p.drawRoundedRect(QRectF(3.5, 10.5, 9.0, 4.0), 0.8, 0.8);
    p.setPen(outline(kInk, 0.9));
    for (qreal x : {5.0, 8.0, 11.0}) {
        p.drawLine(QPointF(x, 14.5), QPointF(x, 15.5));
    }

    QPainterPath arrow;
    arrow.moveTo(6.5, 0.8);
    arrow.lineTo(9.5, 0.8);
    arrow.lineTo(9.5, 5.0);
    arrow.lineTo(12.5, 5.0);
    arrow.lineTo(8.0, 9.5);
    arrow.lineTo(3.5, 5.0);
    arrow.lineTo(6.5, 5.0);
    arrow.closeSubpath();
    p.setPen(outline(QColor(0x14, 0x6b, 0x2a)));
    p.setBrush(QColor(0x2f, 0xa8, 0x4f));
    p.drawPath(arrow);
}

// An open door with an arrow leaving it: end the program.
void drawExit(QPainter& p) {
    p.setPen(outline(kInk));
    p.setBrush(QColor(0xe6, 0xe9, 0xed));
    p.drawRect(QRectF(1.5, 1.5, 8.0, 13.0));
    QPainterPath door;
    door.moveTo(1.5, 1.5);
    door.lineTo(6.5, 3.0);
    door.lineTo(6.5, 15.5);
    door.lineTo(1.5, 14.5);
    door.closeSubpath();
    p.setBrush(QColor(0x8a, 0x5a, 0x3a));
    p.drawPath(door);

    p.setPen(outline(kBrandBlue, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(8.5, 8.0), QPointF(14.0, 8.0));
    QPainterPath head;
    head.moveTo(11.5, 5.5);
    head.lineTo(14.2, 8.0);
    head.lineTo(11.5, 10.5);
    p.drawPath(head);
}

}  // namespace

QIcon toolIcon(const QString& key) {
    Drawing draw;
    if (key == QLatin1String("open")) {
        draw = drawOpen;
    } else if (key == QLatin1String("info")) {
        draw = drawInfo;
    } else if (key == QLatin1String("stop")) {
        draw = drawStop;
    } else if (key == QLatin1String("dwn")) {
        draw = drawDownload;
    } else if (key == QLatin1String("esci")) {
        draw = drawExit;
    } else {
        return QIcon();
    }
    QIcon icon;
    for (int size : kIconSizes) {
        icon.addPixmap(renderIcon(size, draw));
    }
    return icon;
}

QIcon presentPortIcon() {
    // A green lamp: a device answers to this port name now.
    const Drawing lamp = [](QPainter& p) {
        p.setPen(outline(QColor(0x1e, 0x6b, 0x2a)));
        p.setBrush(QColor(0x3c, 0xb8, 0x4e));
        p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 150));
        p.drawEllipse(QRectF(5.5, 5.0, 3.5, 2.5));
    };
    QIcon icon;
    for (int size : kIconSizes)
        icon.addPixmap(renderIcon(size, lamp));
    return icon;
}

QPixmap builtInLogo(const QSize& size) {
    const QSize device = size * kLogoPixelRatio;
    QPixmap pixmap(device);
    pixmap.setDevicePixelRatio(kLogoPixelRatio);
    pixmap.fill(Qt::transparent);
    if (size.isEmpty()) {
        return pixmap;
    }

    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const qreal h = size.height();
    const qreal w = size.width();

    // The mark: two interlocking rounded chevrons in the brand's two colours,
    // a square as high as the logo.
    const qreal m = h * 0.08;
    const QRectF mark(m, m, h - 2 * m, h - 2 * m);
    QPainterPath left;
    left.moveTo(mark.left() + mark.width() * 0.55, mark.top());
    left.lineTo(mark.left(), mark.center().y());
    left.lineTo(mark.left() + mark.width() * 0.55, mark.bottom());
    QPainterPath right;
    right.moveTo(mark.left() + mark.width() * 0.45, mark.top());
    right.lineTo(mark.right(), mark.center().y());
    right.lineTo(mark.left() + mark.width() * 0.45, mark.bottom());
    QPen stroke(kBrandBlue, h * 0.16, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setBrush(Qt::NoBrush);
    p.setPen(stroke);
    p.drawPath(left);
    stroke.setColor(kBrandTeal);
    p.setPen(stroke);
    p.drawPath(right);

    // The word mark, scaled to fill the rest of the width.
    const QRectF wordBox(h + h * 0.2, 0.0, w - h - h * 0.2, h);
    if (wordBox.width() > 0) {
        QFont font;
        font.setStyleHint(QFont::SansSerif);
        font.setBold(true);
        font.setLetterSpacing(QFont::PercentageSpacing, 108);
        font.setPixelSize(qMax(1, qRound(h * 0.72)));
        QPainterPath word;
        word.addText(0, 0, font, QStringLiteral("NORVEXA"));
        const QRectF bounds = word.boundingRect();
        if (!bounds.isEmpty()) {
            const qreal scale =
                qMin(wordBox.width() / bounds.width(), wordBox.height() * 0.78 / bounds.height());
            p.translate(wordBox.left() - bounds.left() * scale,
                        wordBox.center().y() - bounds.center().y() * scale);
            p.scale(scale, scale);
            QLinearGradient fill(bounds.topLeft(), bounds.bottomLeft());
            fill.setColorAt(0.0, kBrandBlue.lighter(115));
            fill.setColorAt(1.0, kBrandBlue.darker(120));
            p.setPen(Qt::NoPen);
            p.setBrush(fill);
            p.drawPath(word);
        }
    }
    return pixmap;
}

}  // namespace dwnfrw
