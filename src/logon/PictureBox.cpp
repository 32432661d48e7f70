#include "logon/PictureBox.h"

#include <QPainter>

namespace wispline
{

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {}

void PictureBox::setPixmap(const QPixmap& pixmap)
{
    pixmap_ = pixmap;
    updateGeometry();
    update();
}

QSize PictureBox::sizeHint() const
{
    return pixmap_.isNull() ? QWidget::sizeHint() : pixmap_.deviceIndependentSize().toSize();
}

void PictureBox::paintEvent(QPaintEvent*)
{
    if (pixmap_.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, pixmap_);
}

} // namespace wispline
